// The page's side of a click: making the element ready, then, once the
// mouse is over the point the host aims at, checking that the element holds
// still and receives the pointer there, and guarding the press.

// The element of the action under way in this world: {element, target, box, node}.
let current = null;
// The press guard of the click under way.
let guard = null;

// Resolves true at the next animation frame, false when a timer came first:
// a hidden page gets no frames, and frames come late under load.
function nextFrame() {
  return new Promise((resolve) => {
    requestAnimationFrame(() => resolve(true));
    setTimeout(() => resolve(false), 50);
  });
}

const sameBox = (a, b) =>
  a.x === b.x && a.y === b.y && a.width === b.width && a.height === b.height;

// The view of this world and the frames of this origin inside it.
function views() {
  const out = [window];
  for (let v = 0; v < out.length && out.length < kMaxDocuments; v++) {
    const frames = out[v].frames;
    for (let f = 0; f < frames.length && out.length < kMaxDocuments; f++) {
      try {
        if (frames[f].document) out.push(frames[f]);
      } catch (e) {
        // another origin: its events are not ours to see
      }
    }
  }
  return out;
}

// Scrolls the element into view through every box that scrolls: only as
// far as needed on a first attempt, then aligned at the end, the centre and
// the start in turn, for what sticky or fixed bars would cover.
function scrollToView(el, attempt) {
  const node = drawnNode(el);
  const aligned = ['end', 'center', 'start'];
  const turn = attempt % (aligned.length + 1);
  const at = turn === 0 ? 'nearest' : aligned[(turn + aligned.length - 1) % aligned.length];
  if (node.nodeType !== Node.ELEMENT_NODE) {
    scrollTextToView(node, at);
  } else if (turn === 0 && typeof node.scrollIntoViewIfNeeded === 'function') {
    node.scrollIntoViewIfNeeded(true);
  } else {
    node.scrollIntoView({block: at, inline: at, behavior: 'instant'});
  }
}

// How far to scroll a box that shows [start, end) for [lo, hi) to show at
// `at`; "nearest" moves it only when it does not show whole, to the middle.
function scrollDelta(lo, hi, start, end, at) {
  if (at === 'start') return lo - start;
  if (at === 'end') return hi - end;
  if (at === 'nearest' && lo >= start && hi <= end) return 0;
  return (lo + hi) / 2 - (start + end) / 2;
}

// Text has no scrollIntoView (the text of an element with display:
// contents is what the click aims at): each box around it that scrolls,
// then the view, is scrolled until its box shows.
function scrollTextToView(text, at) {
  const range = rangeOf(text);
  for (let el = treeParent(text), depth = 0; el && depth < kMaxDepth; el = treeParent(el), depth++) {
    if (el.nodeType !== Node.ELEMENT_NODE || el === el.ownerDocument.scrollingElement) continue;
    const style = styleOf(el);
    const scrolls = (overflow) => overflow !== 'visible' && overflow !== 'clip';
    if (!(scrolls(style.overflowX) && el.scrollWidth > el.clientWidth) &&
        !(scrolls(style.overflowY) && el.scrollHeight > el.clientHeight)) {
      continue;
    }
    const box = el.getBoundingClientRect();
    const r = range.getBoundingClientRect();
    const left = box.left + el.clientLeft;
    const top = box.top + el.clientTop;
    el.scrollBy({left: scrollDelta(r.left, r.right, left, left + el.clientWidth, at),
                 top: scrollDelta(r.top, r.bottom, top, top + el.clientHeight, at),
                 behavior: 'instant'});
  }
  const r = range.getBoundingClientRect();
  const view = text.ownerDocument.defaultView;
  view.scrollBy({left: scrollDelta(r.left, r.right, 0, view.innerWidth, at),
                 top: scrollDelta(r.top, r.bottom, 0, view.innerHeight, at),
                 behavior: 'instant'});
}

function readyToClick(el, attempt, scroll) {
  const target = controlOf(el);
  if (!isVisible(el)) return unmet('hidden');
  if (isDisabled(el) || isDisabled(target) || isDisabled(fieldOf(el))) return unmet('disabled');
  if (scroll) scrollToView(el, attempt);
  current = {element: el, target, box: boxOf(el), node: drawnNode(el)};
  return {ready: true};
}

// The node whose boxes a click on the element found last aims at.
function measuredNode() {
  return current?.node ?? null;
}

// Whether a press at (x, y) of this view reaches `this`, the element of a
// frame of another origin that the click aims into: what covers the frame
// in this view would take the press.
function frameMiss(x, y) {
  return pointerMiss(this, window, x, y, true) ?? {};
}

// Once the mouse is on its way to (x, y) of this view: waits until the
// element holds still over a frame (its box unchanged, nothing animating
// it), then checks that a press at the point reaches it, and guards the
// press. Answers {} when the press may come, {moved} with the verdict that
// it is not stable when the element came to rest elsewhere than where it
// was measured, or the unmet condition.
// `check` is false when the point cannot be placed in this view (a
// transformed frame lies between): the guard alone judges then.
async function aim(request) {
  const deadline = performance.now() + request.budget;
  const c = current;
  if (!c || !c.element.isConnected) return unmet('missing');
  // Animations advance from one frame to the next: a look now and one a
  // frame later tell whether it moves.
  let last = boxOf(c.element);
  for (;;) {
    const framed = await nextFrame();
    if (!c.element.isConnected) return unmet('missing');
    const box = boxOf(c.element);
    const looked = framed || document.visibilityState === 'hidden';
    if (looked && sameBox(box, last) && !isMoving(c.element)) break;
    if (performance.now() >= deadline) return unmet('unstable');
    if (looked) last = box;
  }
  if (!sameBox(last, c.box)) {
    c.box = last;
    // Not still where it was measured: what the host reports if time runs out.
    return {moved: true, ...unmet('unstable')};
  }
  if (request.check) {
    const miss = pointerMiss(c.target, window, request.x, request.y, true);
    if (miss) return miss;
  }
  armGuard(c.target);
  return {};
}

// Until the host reads the verdict, judges the first event of the click: a
// press that lands where it reaches the target, by the same rule as aim. A press
// that misses is kept from the page with the rest of the click, so that no
// click happens and the host tries again; once one has reached the target,
// the click is the page's, whatever its handlers do.
function armGuard(target) {
  disarmGuard();
  const types = ['pointerdown', 'mousedown', 'pointerup', 'mouseup', 'click'];
  const watched = views();
  const state = {verdict: undefined};
  const listener = (event) => {
    if (!event.isTrusted) return;
    if (state.verdict === undefined) {
      const view = event.view ?? event.target?.ownerDocument?.defaultView ?? window;
      if (event.type !== 'pointerdown' && event.type !== 'mousedown') {
        // The press went elsewhere (to the page around a frame that took no
        // input yet): a release alone makes no click.
        state.verdict = unmet('unreached');
      } else {
        state.verdict = target.isConnected
            ? pointerMiss(target, view, event.clientX, event.clientY, false)
            : unmet('missing');
      }
    }
    if (state.verdict) {
      event.preventDefault();
      event.stopImmediatePropagation();
    }
  };
  for (const view of watched) {
    for (const type of types) view.addEventListener(type, listener, true);
  }
  guard = {
    state,
    remove: () => {
      for (const view of watched) {
        try {
          for (const type of types) view.removeEventListener(type, listener, true);
        } catch (e) {
          // a frame that has gone away took its listeners with it
        }
      }
    },
  };
}

// The guard's verdict, as it goes: null when the press reached the target
// or there was no guard. A press that no view of this world saw
// went elsewhere: to the page around a frame that was not ready for input
// yet, or to a frame of another origin drawn over the element.
function disarmGuard() {
  if (!guard) return null;
  guard.remove();
  const verdict = guard.state.verdict === undefined ? unmet('unreached') : guard.state.verdict;
  guard = null;
  return verdict;
}

// After input (a click's press and release, or typed text): the click
// guard's verdict, {} when the click reached the element or there was
// none. When it did, settles once the page has handled the input: a task
// after the next frame, or at once in a hidden page (it gets no frames, and
// its timers are slowed down), as the one a click opened a window over.
function settle() {
  const missed = disarmGuard();
  if (missed) return missed;
  return new Promise((resolve) => {
    const soon = () => {
      const channel = new MessageChannel();
      channel.port1.onmessage = () => resolve({});
      channel.port2.postMessage(null);
    };
    if (document.visibilityState === 'hidden') return soon();
    requestAnimationFrame(soon);
    addEventListener('visibilitychange', soon, {once: true});
    setTimeout(() => resolve({}), 100);
  });
}
