#include "host/actions.h"

#include <algorithm>

#include "host/json_build.h"
#include "host/json_read.h"
#include "json/writer.h"

namespace tessik::host {

namespace {

std::string js_string(std::string_view s) {
  std::string out;
  escape_json_string(out, s);  // a JSON string is also a JavaScript string literal
  return out;
}

// Waits in the page for the element an action needs, re-checking at each
// animation frame (or timer, in a page that gets no frames) until `ms` pass.
// Elements are looked for in the document, then in open shadow roots (where a
// descendant combinator also reaches through the host), then in same-origin
// frames. Resolves to {x, y} (click: the point to press, in the
// top frame's coordinates), {text} or {} (type: focused with its content
// selected, or cleared with `clear`), or {error} naming the first
// condition still unmet.
constexpr std::string_view kActionScript = R"(async (sel, action, ms, clear, submit) => {
  const deadline = performance.now() + ms;
  // A guard an earlier click left behind, its verdict never read, goes.
  const guardKey = Symbol.for('tessik.guard');
  window[guardKey]?.remove();
  delete window[guardKey];
  const isFrame = (el) => el.tagName === 'IFRAME' || el.tagName === 'FRAME';
  const inside = (frame) => { try { return frame.contentDocument; } catch (e) { return null; } };
  const up = (node) => node.parentNode || node.host || null;
  // A selector split at its descendant combinators, so that they may cross
  // shadow boundaries ("x-card button"); null for a list or a single part.
  const parts = (() => {
    const out = [];
    let part = '', depth = 0, quote = '';
    const space = (c) => c === ' ' || c === '\t' || c === '\n' || c === '\r' || c === '\f';
    for (let i = 0; i < sel.length; i++) {
      const c = sel[i];
      if (c === '\\') { part += c + (sel[++i] ?? ''); continue; }
      if (quote) { part += c; if (c === quote) quote = ''; continue; }
      if (c === '"' || c === "'") { quote = c; part += c; continue; }
      if (c === '(' || c === '[') depth++;
      if (c === ')' || c === ']') depth--;
      if (depth !== 0) { part += c; continue; }
      if (c === ',') return null;
      if (space(c) || '>+~'.includes(c)) {
        let j = i;
        while (j < sel.length && space(sel[j])) j++;
        if ('>+~'.includes(sel[j] ?? '')) {
          // Any other combinator stays within its part.
          part += ' ' + sel[j] + ' ';
          j++;
          while (j < sel.length && space(sel[j])) j++;
        } else if (part) {
          out.push(part);
          part = '';
        }
        i = j - 1;
        continue;
      }
      part += c;
    }
    if (part) out.push(part);
    return out.length > 1 ? out : null;
  })();
  // The last part matches the element, the others its ancestors in order,
  // through shadow hosts.
  const pierces = (el) => {
    let k = parts.length - 2, node = up(el);
    for (let i = 0; k >= 0 && node && i < 4096; i++, node = up(node)) {
      if (node.nodeType === 1 && node.matches(parts[k])) k--;
    }
    return k < 0;
  };
  const query = (root, shadow) => {
    if (!shadow || !parts) return root.querySelector(sel);
    for (const el of root.querySelectorAll(parts[parts.length - 1])) {
      if (pierces(el)) return el;
    }
    return null;
  };
  const find = () => {
    const first = document.querySelector(sel);
    if (first) return first;
    const docs = [document];
    for (let d = 0; d < docs.length && d < 64; d++) {
      const roots = [docs[d]];
      for (let r = 0; r < roots.length && r < 4096; r++) {
        if (d > 0 || r > 0) {
          const hit = query(roots[r], r > 0);
          if (hit) return hit;
        }
        for (const el of roots[r].querySelectorAll('*')) {
          if (el.shadowRoot) roots.push(el.shadowRoot);
          if (isFrame(el)) {
            const doc = inside(el);
            if (doc) docs.push(doc);
          }
        }
      }
    }
    return null;
  };
  // Where a frame's content starts within its parent's viewport.
  const contentOrigin = (frame) => {
    const box = frame.getBoundingClientRect();
    const style = frame.ownerDocument.defaultView.getComputedStyle(frame);
    return [box.left + frame.clientLeft + parseFloat(style.paddingLeft),
            box.top + frame.clientTop + parseFloat(style.paddingTop)];
  };
  // The element's box in the top frame's coordinates.
  const topBox = (el) => {
    const box = el.getBoundingClientRect();
    let x = box.left, y = box.top;
    let view = el.ownerDocument.defaultView;
    for (let i = 0; i < 64 && view && view !== window && view.frameElement; i++) {
      const [dx, dy] = contentOrigin(view.frameElement);
      x += dx; y += dy;
      view = view.frameElement.ownerDocument.defaultView;
    }
    return {x, y, width: box.width, height: box.height};
  };
  const inView = (el, box) => {
    const local = el.getBoundingClientRect(), view = el.ownerDocument.defaultView;
    const lx = local.left + local.width / 2, ly = local.top + local.height / 2;
    const tx = box.x + box.width / 2, ty = box.y + box.height / 2;
    return lx >= 0 && ly >= 0 && lx < view.innerWidth && ly < view.innerHeight &&
           tx >= 0 && ty >= 0 && tx < innerWidth && ty < innerHeight;
  };
  // The innermost element at a point of the top frame, through open shadow
  // roots and same-origin frames.
  const hitAt = (x, y) => {
    let root = document, hit = null;
    for (let i = 0; i < 64; i++) {
      const el = root.elementFromPoint(x, y);
      if (!el || el === hit) break;
      hit = el;
      if (el.shadowRoot) {
        root = el.shadowRoot;
      } else if (isFrame(el) && inside(el)) {
        const [dx, dy] = contentOrigin(el);
        x -= dx; y -= dy;
        root = inside(el);
      } else {
        break;
      }
    }
    return hit;
  };
  const within = (node, el) => {
    for (let i = 0; node && i < 4096; i++, node = up(node)) if (node === el) return true;
    return false;
  };
  const labelFor = (node, el) => {
    for (let i = 0; node && i < 4096; i++, node = up(node)) {
      if (node.tagName === 'LABEL' && node.control === el) return true;
    }
    return false;
  };
  const describe = (el) => el.tagName.toLowerCase() + (el.id ? '#' + el.id
      : el.classList.length ? '.' + el.classList[0] : '');
  const textTypes = ['', 'text', 'search', 'url', 'tel', 'email', 'password', 'number'];
  const takesText = (el) => el.isContentEditable || el.tagName === 'TEXTAREA' ||
      (el.tagName === 'INPUT' && textTypes.includes((el.getAttribute('type') ?? '').toLowerCase()));
  const visible = (el) => {
    const box = el.getBoundingClientRect();
    return box.width > 0 && box.height > 0 &&
           el.ownerDocument.defaultView.getComputedStyle(el).visibility !== 'hidden';
  };
  const disabled = (el) => typeof el.matches === 'function' && el.matches(':disabled');
  // True when a frame came; false when the timer won, as in a page that
  // gets no frames, or one whose frames are late under load.
  const nextFrame = () => new Promise((resolve) => {
    requestAnimationFrame(() => resolve(true));
    setTimeout(() => resolve(false), 50);
  });
  let last = null, lastBox = null, framed = false;
  const check = () => {
    const el = find();
    if (!el) return {error: 'no element matches selector'};
    if (action === 'text') return {text: typeof el.innerText === 'string' ? el.innerText : (el.textContent ?? '')};
    if (action === 'type' && !takesText(el)) return {error: 'element cannot take text', final: true};
    if (!visible(el)) return {error: 'element is not visible'};
    if (disabled(el)) return {error: 'element is disabled'};
    if (action === 'type') {
      if (el.readOnly) return {error: 'element is read-only'};
      return {el};
    }
    let box = topBox(el);
    if (!inView(el, box)) {
      el.scrollIntoView({block: 'center', inline: 'center', behavior: 'instant'});
      box = topBox(el);
    }
    // Animations advance only from one frame to the next: two looks within
    // one frame see the same box however fast the element moves.
    const settled = framed || document.visibilityState === 'hidden';
    const same = settled && el === last && lastBox !== null && box.x === lastBox.x &&
                 box.y === lastBox.y && box.width === lastBox.width && box.height === lastBox.height;
    last = el; lastBox = box;
    if (!same) return {error: 'element is not stable'};
    const x = box.x + box.width / 2, y = box.y + box.height / 2;
    const hit = hitAt(x, y);
    if (!hit || !(within(hit, el) || labelFor(hit, el))) {
      return {error: hit ? 'element is covered by ' + describe(hit) : 'element is not visible'};
    }
    return {x, y, target: el};
  };
  // Until the host reads the verdict: whether each event of the press and
  // release about to come lands on the element or a label for it. The
  // element may move, or something come over it, after the checks or between
  // press and release; the first event that misses is kept from the page with
  // the rest of the sequence, so no click happens, and the host tries again.
  // An event that lands in no window reached here (a cross-origin frame) is
  // taken as it comes.
  const guard = (el, x, y) => {
    const types = ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click'];
    const views = [window];
    for (let v = 0; v < views.length && views.length < 64; v++) {
      try {
        const frames = views[v].frames;
        for (let f = 0; f < frames.length && views.length < 64; f++) views.push(frames[f]);
      } catch (e) {}
    }
    let missed = '';
    const aimed = (node) => node === el || (node.tagName === 'LABEL' && node.control === el);
    const listener = (event) => {
      if (!event.isTrusted) return;
      if (!missed) {
        const path = event.composedPath();
        if (!path.some(aimed)) {
          const box = el.isConnected ? topBox(el) : null;
          const hit = path[0];
          missed = !box ? 'no element matches selector'
              : x < box.x || y < box.y || x >= box.x + box.width || y >= box.y + box.height
              ? 'element is not stable'
              : hit && hit.nodeType === 1 ? 'element is covered by ' + describe(hit)
              : 'element is not visible';
        }
      }
      if (missed) {
        event.preventDefault();
        event.stopImmediatePropagation();
      }
    };
    const each = (act) => {
      for (const view of views) {
        try { for (const type of types) act.call(view, type, listener, true); } catch (e) {}
      }
    };
    each(EventTarget.prototype.addEventListener);
    window[guardKey] = {
      remove: () => each(EventTarget.prototype.removeEventListener),
      missed: () => missed,
    };
  };
  for (;;) {
    const state = check();
    if (state.target) {
      guard(state.target, state.x, state.y);
      return {x: state.x, y: state.y};
    }
    if (state.el) {
      const el = state.el;
      el.focus();
      let active = document.activeElement;
      for (let i = 0; i < 64 && active; i++) {
        const next = active.shadowRoot?.activeElement ?? (isFrame(active) ? inside(active)?.activeElement : null);
        if (!next) break;
        active = next;
      }
      if (!active || !within(active, el)) return {error: 'element cannot take the focus'};
      if (el.isContentEditable) {
        const range = el.ownerDocument.createRange();
        range.selectNodeContents(el);
        const selection = el.ownerDocument.getSelection();
        selection.removeAllRanges();
        selection.addRange(range);
      } else {
        el.select();
      }
      // Deleting the selection as a user would tells the page the field is empty.
      if (clear && (el.isContentEditable ? el.textContent !== '' : el.value !== '')) {
        el.ownerDocument.execCommand('delete');
      }
      if (submit) {
        const key = Symbol.for('tessik.typed');
        window[key] = {el, submitted: false};
        const view = el.ownerDocument.defaultView;
        view.addEventListener('submit', () => { window[key].submitted = true; },
                              {capture: true, once: true});
      }
      return {};
    }
    if (state.error === undefined || state.final || performance.now() >= deadline) return state;
    framed = await nextFrame();
  }
})";

// After Enter: submits the typed element's form unless Enter already did,
// or the page has moved on to another document.
constexpr std::string_view kSubmitScript = R"(() => {
  const typed = window[Symbol.for('tessik.typed')];
  if (!typed || typed.submitted) return 'already';
  const form = typed.el.form ?? typed.el.closest('form');
  if (!form) return 'no form';
  if (typeof form.requestSubmit === 'function') form.requestSubmit(); else form.submit();
  return 'submitted';
})";

// Settles once the page has handled the input sent before it: after the
// next frame, or at once in a page that is hidden (it gets no frames, and
// its timers are slowed down), as the one a click opened a window over.
// Answers the first unmet condition when the click's guard kept part of the
// click from the page, and settles at once then: the page saw no click.
constexpr std::string_view kSettleScript = R"((() => {
  const key = Symbol.for('tessik.guard');
  const guard = window[key];
  delete window[key];
  guard?.remove();
  const missed = guard?.missed() ?? '';
  if (missed) return missed;
  return new Promise((resolve) => {
    const soon = () => {
      const channel = new MessageChannel();
      channel.port1.onmessage = () => resolve('');
      channel.port2.postMessage(null);
    };
    if (document.visibilityState === 'hidden') return soon();
    requestAnimationFrame(soon);
    addEventListener('visibilitychange', soon, {once: true});
    setTimeout(() => resolve(''), 100);
  });
})())";

// How long to let a new document set up before looking in it again.
constexpr auto kContextPause = std::chrono::milliseconds(10);

// The script's document went away under it.
bool lost_context(std::string_view error) {
  return error.find("context was destroyed") != std::string_view::npos ||
         error.find("navigated or closed") != std::string_view::npos ||
         error.find("Cannot find default execution context") != std::string_view::npos;
}

// Waits in the page until the selector matches and, for `action` "click"
// or "type", until the element can take it; the page's answer, or the
// first condition still unmet at `until`. A "type" leaves the element
// focused with its content selected, deleted with `clear`, and with
// `submit` notes whether its form is submitted. A "click" leaves a guard
// in the page that keeps a press which misses the element from it.
std::expected<Reply, std::string> wait_for_element(Tab& tab, std::string_view action,
                                                   const std::string& selector, bool clear,
                                                   bool submit, Clock::time_point until) {
  if (auto front = tab.bring_to_front(); !front) return std::unexpected(front.error());
  std::expected<Reply, std::string> reply;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    std::string expression = "(" + std::string(kActionScript) + ")(" + js_string(selector) +
                             ", '" + std::string(action) + "', " +
                             std::to_string(std::max<long long>(1, left.count())) + ", " +
                             (clear ? "true" : "false") + ", " + (submit ? "true" : "false") + ")";
    // The page ends its own wait; the margin is for a page too busy to.
    reply = tab.evaluate(expression, std::min(until + std::chrono::seconds(5), tab.deadline()));
    // A page that moved on to another document while the script waited:
    // the element may be in the new one, once it has a context to look in.
    if (reply || Clock::now() >= until || !lost_context(reply.error())) break;
    auto waited = tab.pause(std::min(until, Clock::now() + kContextPause));
    if (!waited) return std::unexpected(waited.error());
  }
  if (!reply) return reply;
  if (!reply->result.is_object()) return std::unexpected(std::string("the page gave no answer"));
  if (std::string_view error = string_member(reply->result, "error"); !error.empty()) {
    return std::unexpected(std::string(error) + ": " + selector);
  }
  return reply;
}

// After input that may have started a navigation: lets the page handle it
// for one frame, then waits for the new document when one is on its way.
// Answers the first unmet condition, without waiting, when a click's
// guard kept the press from the page; empty otherwise.
std::expected<std::string, std::string> follow_input(Tab& tab, Navigation& navigation,
                                                     std::chrono::milliseconds timeout) {
  // A page that goes away meanwhile fails the script: that is a navigation,
  // which the events tell.
  auto settled = tab.evaluate(kSettleScript);
  if (settled && settled->result.is_string() && !settled->result.as_string().empty()) {
    return std::string(settled->result.as_string());
  }
  tab.pump(&navigation);
  if (!navigation.started() || navigation.done()) return std::string();
  auto waited = tab.wait_for(navigation, timeout);
  if (!waited) return std::unexpected(waited.error());
  return std::string();
}

}  // namespace

std::expected<Data, std::string> click(Tab& tab, const std::string& selector,
                                       std::chrono::milliseconds timeout) {
  Clock::time_point until = tab.within(timeout);
  for (;;) {
    auto spot = wait_for_element(tab, "click", selector, false, false, until);
    if (!spot) return std::unexpected(spot.error());
    double x = number_of(spot->result.find("x"));
    double y = number_of(spot->result.find("y"));

    tab.pump();  // what the page did before the click is not the click's doing
    Navigation navigation(tab.widget().main_frame, false, Navigation::End::dom_content_loaded);
    for (std::string_view type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
      JsonDocument doc;
      ObjectBuilder event(doc);
      event.add_string("type", type).add("x", JsonValue::f64(x)).add("y", JsonValue::f64(y));
      if (type != "mouseMoved") {
        event.add_string("button", "left")
            .add_u64("buttons", type == "mousePressed" ? 1 : 0)
            .add_u64("clickCount", 1);
      }
      // The move's answer waits for a frame; the press behind it is not sent
      // before it all the same.
      if (type == "mouseMoved") {
        auto sent = tab.post("Input.dispatchMouseEvent", event.build());
        if (!sent) return std::unexpected(sent.error());
        continue;
      }
      auto sent = tab.call("Input.dispatchMouseEvent", event.build());
      if (!sent) return std::unexpected(sent.error());
    }
    auto followed = follow_input(tab, navigation, timeout);
    if (!followed) return std::unexpected(followed.error());
    if (followed->empty()) return Data{};
    // The press missed and the page saw none of it: check and aim again.
    if (Clock::now() >= until) return std::unexpected(*followed + ": " + selector);
  }
}

std::expected<Data, std::string> type(Tab& tab, const Command& command,
                                      std::chrono::milliseconds timeout) {
  auto ready = wait_for_element(tab, "type", command.selector, command.text.empty(),
                                command.submit, tab.within(timeout));
  if (!ready) return std::unexpected(ready.error());
  if (!command.text.empty()) {
    JsonDocument doc;
    // Arrives as typed input over the selection: beforeinput and input
    // events, no key codes.
    auto inserted = tab.call("Input.insertText",
                             ObjectBuilder(doc).add_string("text", command.text).build());
    if (!inserted) return std::unexpected(inserted.error());
  }
  if (!command.submit) return Data{};

  tab.pump();
  Navigation navigation(tab.widget().main_frame, false, Navigation::End::dom_content_loaded);
  for (std::string_view type : {"keyDown", "keyUp"}) {
    JsonDocument doc;
    ObjectBuilder key(doc);
    key.add_string("type", type)
        .add_string("key", "Enter")
        .add_string("code", "Enter")
        .add_u64("windowsVirtualKeyCode", 13)
        .add_u64("nativeVirtualKeyCode", 13);
    if (type == "keyDown") key.add_string("text", "\r").add_string("unmodifiedText", "\r");
    auto sent = tab.call("Input.dispatchKeyEvent", key.build());
    if (!sent) return std::unexpected(sent.error());
  }
  tab.pump(&navigation);
  if (!navigation.started()) {
    // Enter submits a form only when it has a submit button or a single
    // field; otherwise the form is submitted as its button would.
    auto submitted = tab.evaluate("(" + std::string(kSubmitScript) + ")()");
    // A page that went away meanwhile was navigating: the events tell.
    (void)submitted;
  }
  if (auto followed = follow_input(tab, navigation, timeout); !followed) {
    return std::unexpected(followed.error());
  }
  return Data{};
}

std::expected<Data, std::string> text_of(Tab& tab, const std::string& selector,
                                         std::chrono::milliseconds timeout) {
  auto found = wait_for_element(tab, "text", selector, false, false, tab.within(timeout));
  if (!found) return std::unexpected(found.error());
  Data data;
  const JsonValue* text = found->result.find("text");
  data.value = text ? *text : JsonValue::string("");
  data.docs.push_back(std::move(found->doc));  // moving keeps `value` valid
  return data;
}

}  // namespace tessik::host
