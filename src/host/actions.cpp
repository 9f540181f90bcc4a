#include "host/actions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "host/json_build.h"
#include "host/json_read.h"
#include "host/messages.h"
#include "host/page_world.h"

namespace tessik::host {

namespace {

// The page ends its own waits; the margin is for a page too busy to.
constexpr auto kPageMargin = std::chrono::seconds(5);
// How long to let a new document set up before looking in it again.
constexpr auto kContextPause = std::chrono::milliseconds(10);
// Between looks through frames of another origin, which cannot wait in the
// page for one another.
constexpr auto kLookPause = std::chrono::milliseconds(20);
// Pauses before the tries that follow a press that could not be made, as
// the next ones cannot be expected to fare better at once.
constexpr std::array<std::chrono::milliseconds, 5> kRetryPauses = {
    std::chrono::milliseconds(0), std::chrono::milliseconds(20), std::chrono::milliseconds(100),
    std::chrono::milliseconds(100), std::chrono::milliseconds(500)};
// Frames of another origin looked into by one look, nested ones included.
constexpr size_t kMaxFrames = 64;

// What the host itself finds missing or hidden; the page code's answers
// bring their own texts (page/README.md, Verdicts).
using msg::kNoMatch;
using msg::kNotVisible;
// The verdict of a look that found nothing to match.
constexpr std::string_view kMissing = "missing";

using Quad = std::array<Point, 4>;

// What the page code is asked for.
struct Request {
  std::string_view action;  // "click", "type" or "text"
  const std::string& selector;
  unsigned attempt = 0;  // which try of a click this is, for how it scrolls
  std::string_view text;
  bool submit = false;
};

// A frame the look for an element reached.
struct SearchFrame {
  FrameRef ref;
  size_t parent = 0;         // the frame its frame element is in; the top is its own
  int64_t owner = 0;         // that frame element, by its backend node id
  std::string owner_object;  // and as a handle in the parent's world
  bool own_viewport = true;  // drawn in a viewport of its own session: the top frame, or a
                             // frame of another process
  Point size;                // its viewport's width and height
};

// Where the element was found, and the page code's answer there.
struct Located {
  std::vector<SearchFrame> frames;
  size_t index = 0;
  Reply answer;
};

// Why a step did not get on: a failure to pass on whole (`final`), or a
// condition still unmet that a later try may find met; `lost` when that is
// the document having gone away under it.
struct Miss {
  std::string text;
  bool final = false;
  bool lost = false;
};

Miss final_miss(std::string text) { return Miss{std::move(text), true}; }

// The condition a page answer names as unmet, if any (page/README.md).
std::optional<Miss> verdict_of(const JsonValue& answer) {
  if (string_member(answer, "verdict").empty()) return std::nullopt;
  return Miss{std::string(string_member(answer, "error")), flag_member(answer, "final")};
}

// A failed call in `frame`, or on a handle from there: its document gone (a
// later try may find the element in the next one), else a failure to pass on.
Miss call_miss(Tab& tab, const FrameRef& frame, std::string error) {
  if (document_lost(tab, frame, error)) return Miss{std::move(error), false, true};
  return final_miss(std::move(error));
}

// A failure to tell where something of `frame` is drawn: its document has
// gone, or nothing is drawn (the node is not rendered, or no longer in the
// document).
Miss layout_miss(Tab& tab, const FrameRef& frame, std::string error) {
  if (document_lost(tab, frame, error)) return Miss{std::move(error), false, true};
  return Miss{std::string(kNotVisible)};
}

long long ms_left(Clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
  return std::max<long long>(0, left);
}

Clock::time_point page_limit(Tab& tab, Clock::time_point until) {
  return std::min(until + kPageMargin, tab.deadline());
}

JsonValue single(JsonDocument& doc, JsonValue value) {
  return add_array(doc, std::span<const JsonValue>(&value, 1));
}

JsonValue prepare_args(JsonDocument& doc, const Request& request, long long budget) {
  return single(doc, ObjectBuilder(doc)
                         .add_string("selector", request.selector)
                         .add_string("action", request.action)
                         .add("budget", JsonValue::i64(budget))
                         .add_u64("attempt", request.attempt)
                         .add_string("text", request.text)
                         .add_bool("submit", request.submit)
                         .build());
}

// The frames of another origin that `frames[at]` met, as the page code
// counted them, in the order met.
std::expected<std::vector<SearchFrame>, std::string> other_frames(Tab& tab,
                                                                 std::span<const SearchFrame> frames,
                                                                 size_t at, size_t count,
                                                                 Clock::time_point until) {
  std::vector<SearchFrame> found;
  for (size_t n = 0; n < count; ++n) {
    JsonDocument doc;
    auto handle = call_page(tab, frames[at].ref, "otherFrame",
                            single(doc, JsonValue::u64(n)), Answer::handle, until);
    if (!handle) return std::unexpected(handle.error());
    std::string_view object = string_member(handle->result, "objectId");
    if (object.empty()) continue;
    auto described = tab.call("DOM.describeNode",
                              ObjectBuilder(doc).add_string("objectId", object).build(),
                              frames[at].ref.session, until);
    if (!described) return std::unexpected(described.error());
    const JsonValue* node = described->result.find("node");
    std::string_view frame = node ? string_member(*node, "frameId") : std::string_view();
    if (frame.empty()) continue;
    const ChildFrame* child = tab.widget().child_by_frame(frame);
    SearchFrame next;
    next.ref = FrameRef{child ? child->session : frames[at].ref.session, std::string(frame)};
    next.parent = at;
    next.owner = static_cast<int64_t>(number_or_zero(node->find("backendNodeId")));
    next.owner_object = object;
    next.own_viewport = child != nullptr;
    found.push_back(std::move(next));
  }
  return found;
}

// How one look, or one try at a click, ended when it did not fail outright.
enum class Try {
  done,     // the element was ready for the action; a click was pressed, and the page took it
  moved,    // it came to rest elsewhere than where it was measured: measure again at once
  lost,     // its document went away under it: look again once the next one is set up
  unmet,    // a condition was unmet in frames of another origin, which the page cannot
            // wait in: look again soon
  missed,   // a click could not be pressed, or the press was kept from the page
  expired,  // a condition was unmet when the page had waited until the deadline
};

// Looks for the element in the top frame (with its open shadow roots and
// frames of its origin), then in each frame of another origin in the order
// met, until the page code there finds it ready for the action: `found`.
// The page waits for it as long as the top frame is the only one to look
// in. `unmet` takes what held it up.
std::expected<Try, std::string> look(Tab& tab, const Request& request, Clock::time_point until,
                                     std::optional<Located>& found, std::string& unmet) {
  Widget& widget = tab.widget();
  std::vector<SearchFrame> frames(1);
  frames[0].ref = FrameRef{widget.session, widget.main_frame};
  std::vector<size_t> order = {0};  // document order: a frame's frames come right after it
  std::string seen(kNoMatch);
  bool seen_missing = true;
  bool waited = true;  // the top frame waited in the page until `until`
  for (size_t at = 0; at < order.size(); ++at) {
    size_t i = order[at];
    JsonDocument doc;
    long long budget = frames.size() == 1 ? ms_left(until) : 0;
    auto answer = call_page(tab, frames[i].ref, "prepare", prepare_args(doc, request, budget),
                            Answer::value, page_limit(tab, until));
    if (!answer) {
      if (!document_lost(tab, frames[i].ref, answer.error())) {
        return std::unexpected(answer.error());
      }
      return Try::lost;
    }
    JsonValue state = answer->result;
    if (!state.is_object()) return std::unexpected(std::string(msg::kNoPageAnswer));
    frames[i].size = Point{number_or_zero(state.find("width")), number_or_zero(state.find("height"))};
    std::optional<Miss> miss = verdict_of(state);
    if (!miss) {
      found = Located{std::move(frames), i, std::move(*answer)};
      return Try::done;
    }
    if (miss->final) {
      if (!flag_member(state, "alone")) miss->text += ": " + request.selector;
      return std::unexpected(std::move(miss->text));
    }
    // What holds up an element that is there says more than a frame without it.
    bool missing = string_member(state, "verdict") == kMissing;
    if (!missing || seen_missing) {
      seen = std::move(miss->text);
      seen_missing = missing;
    }
    size_t room = frames.size() > kMaxFrames ? 0 : kMaxFrames + 1 - frames.size();
    auto count = std::min(static_cast<size_t>(number_or_zero(state.find("frames"))), room);
    if (count == 0) continue;
    waited = false;
    auto others = other_frames(tab, frames, i, count, page_limit(tab, until));
    if (!others) {
      if (!document_lost(tab, frames[i].ref, others.error())) {
        return std::unexpected(others.error());
      }
      return Try::lost;
    }
    std::vector<size_t> next;
    for (auto& frame : *others) {
      next.push_back(frames.size());
      frames.push_back(std::move(frame));
    }
    order.insert(order.begin() + static_cast<std::ptrdiff_t>(at + 1), next.begin(), next.end());
  }
  unmet = std::move(seen);
  return waited ? Try::expired : Try::unmet;
}

// The frame whose viewport `frames[i]` is drawn in.
size_t viewport_of(std::span<const SearchFrame> frames, size_t i) {
  for (size_t depth = 0; !frames[i].own_viewport && depth < frames.size(); ++depth) {
    i = frames[i].parent;
  }
  return i;
}

// The content box of a frame element, as drawn (transforms included), in
// its session's viewport.
std::expected<Quad, std::string> content_box(Tab& tab, std::string_view session, int64_t owner) {
  JsonDocument doc;
  auto model = tab.call("DOM.getBoxModel",
                        ObjectBuilder(doc).add("backendNodeId", JsonValue::i64(owner)).build(),
                        session);
  if (!model) return std::unexpected(model.error());
  const JsonValue* box = model->result.find("model");
  const JsonValue* content = box ? box->find("content") : nullptr;
  if (!content || !content->is_array() || content->size() != 8) {
    return std::unexpected(std::string(kNotVisible));
  }
  Quad quad;
  for (size_t k = 0; k < 4; ++k) {
    quad[k] = Point{number_or_zero(&content->items()[2 * k]), number_or_zero(&content->items()[2 * k + 1])};
  }
  return quad;
}

// A point of a frame's viewport of `size`, where it is drawn through the
// frame element's content box `box`.
Point through(const Quad& box, Point size, Point p) {
  double u = size.x > 0 ? p.x / size.x : 0;
  double v = size.y > 0 ? p.y / size.y : 0;
  return Point{box[0].x + u * (box[1].x - box[0].x) + v * (box[3].x - box[0].x),
               box[0].y + u * (box[1].y - box[0].y) + v * (box[3].y - box[0].y)};
}

// The other way: the point of the frame's viewport drawn at `p`.
std::optional<Point> back_through(const Quad& box, Point size, Point p) {
  double ax = box[1].x - box[0].x, ay = box[1].y - box[0].y;
  double bx = box[3].x - box[0].x, by = box[3].y - box[0].y;
  double det = ax * by - bx * ay;
  if (std::abs(det) < 1e-9) return std::nullopt;
  double dx = p.x - box[0].x, dy = p.y - box[0].y;
  return Point{(dx * by - bx * dy) / det * size.x, (ax * dy - ay * dx) / det * size.y};
}

// Where to press: in the tab's viewport, and in the viewport of the frame
// the element was found from (none when that cannot be told).
struct Spot {
  Point top;
  std::optional<Point> local;
};

// The middle of the first of the element's boxes that lies in view, by the
// browser's own account of where it is drawn.
std::expected<Spot, Miss> measure(Tab& tab, const Located& located, Clock::time_point until) {
  std::span<const SearchFrame> frames = located.frames;
  const SearchFrame& where = frames[located.index];
  auto handle = call_page(tab, where.ref, "measuredNode", {}, Answer::handle, until);
  if (!handle) return std::unexpected(call_miss(tab, where.ref, handle.error()));
  std::string_view object = string_member(handle->result, "objectId");
  if (object.empty()) return std::unexpected(Miss{std::string(kNoMatch)});
  JsonDocument doc;
  auto quads = tab.call("DOM.getContentQuads",
                        ObjectBuilder(doc).add_string("objectId", object).build(), where.ref.session);
  if (!quads) return std::unexpected(layout_miss(tab, where.ref, quads.error()));
  size_t view = viewport_of(frames, located.index);
  Point size = frames[view].size;
  std::optional<Point> middle;
  const JsonValue* list = quads->result.find("quads");
  for (JsonValue quad : list && list->is_array() ? list->items() : std::span<const JsonValue>()) {
    if (!quad.is_array() || quad.size() != 8) continue;
    // Clamped to the viewport, as much of it as shows there.
    std::array<Point, 4> in;
    for (size_t k = 0; k < 4; ++k) {
      in[k] = Point{std::clamp(number_or_zero(&quad.items()[2 * k]), 0.0, size.x),
                    std::clamp(number_or_zero(&quad.items()[2 * k + 1]), 0.0, size.y)};
    }
    double area = 0;
    for (size_t k = 0; k < 4; ++k) {
      area += in[k].x * in[(k + 1) % 4].y - in[(k + 1) % 4].x * in[k].y;
    }
    if (std::abs(area) / 2 > 0.99) {
      middle = Point{(in[0].x + in[1].x + in[2].x + in[3].x) / 4,
                     (in[0].y + in[1].y + in[2].y + in[3].y) / 4};
      break;
    }
  }
  if (!middle) return std::unexpected(Miss{std::string(kNotVisible)});

  Spot spot{*middle, *middle};
  if (!where.own_viewport) {
    // A frame of another origin in the same process: its element's boxes
    // come in the viewport it is drawn in.
    auto box = content_box(tab, where.ref.session, where.owner);
    if (!box) return std::unexpected(layout_miss(tab, frames[where.parent].ref, box.error()));
    spot.local = back_through(*box, where.size, *middle);
  }
  // Out through the frames of other origins, each drawn through its frame
  // element, which must receive the point in the frame around it too.
  size_t at = located.index;
  for (size_t depth = 0; at != 0 && depth < frames.size(); ++depth) {
    const SearchFrame& frame = frames[at];
    const SearchFrame& parent = frames[frame.parent];
    if (frame.own_viewport) {
      auto box = content_box(tab, parent.ref.session, frame.owner);
      if (!box) return std::unexpected(layout_miss(tab, parent.ref, box.error()));
      spot.top = through(*box, frame.size, spot.top);
    }
    if (parent.own_viewport && !frame.owner_object.empty()) {
      JsonDocument doc;
      auto missed = call_on(tab, parent.ref.session, frame.owner_object, "frameMiss",
                            add_array(doc, std::array{JsonValue::f64(spot.top.x),
                                                      JsonValue::f64(spot.top.y)}),
                            until);
      if (!missed) return std::unexpected(call_miss(tab, parent.ref, missed.error()));
      if (std::optional<Miss> miss = verdict_of(missed->result)) {
        return std::unexpected(std::move(*miss));
      }
    }
    at = frame.parent;
  }
  if (spot.top.x < 0 || spot.top.y < 0 || spot.top.x >= frames[0].size.x ||
      spot.top.y >= frames[0].size.y) {
    return std::unexpected(Miss{std::string(kNotVisible)});
  }
  return spot;
}

std::expected<void, std::string> mouse(Tab& tab, std::string_view type, Point at) {
  JsonDocument doc;
  ObjectBuilder event(doc);
  event.add_string("type", type).add("x", JsonValue::f64(at.x)).add("y", JsonValue::f64(at.y));
  if (type == "mouseMoved") {
    // Its answer waits for a frame; what comes after it is not sent before it all the same.
    if (auto sent = tab.post("Input.dispatchMouseEvent", event.build()); !sent) return sent;
    tab.widget().mouse = at;
    return {};
  }
  bool down = type == "mousePressed";
  event.add_string("button", "left").add_u64("buttons", down ? 1 : 0).add_u64("clickCount", 1);
  // A mouse held down presses with half its force, as pointer events report it.
  if (down) event.add("force", JsonValue::f64(0.5));
  auto sent = tab.call("Input.dispatchMouseEvent", event.build());
  if (!sent) return std::unexpected(sent.error());
  return {};
}

// What a click or submit watches for: a navigation of the top frame that
// the input starts, until the new document has been parsed.
Navigation next_page(Tab& tab) {
  return Navigation(tab.widget().main_frame, Navigation::Start::input,
                    Navigation::End::dom_content_loaded);
}

// After input: lets the page handle it for one frame. Answers the unmet
// condition when the click's guard kept the press from the page. A
// document that goes away meanwhile fails the call: that is a navigation,
// which the events tell.
std::expected<std::optional<Miss>, std::string> settle(Tab& tab, const FrameRef& frame,
                                                       Clock::time_point until) {
  auto settled = call_page(tab, frame, "settle", {}, Answer::value, until);
  if (!settled) {
    if (document_lost(tab, frame, settled.error())) return std::nullopt;
    return std::unexpected(settled.error());
  }
  return verdict_of(settled->result);
}

// Once the page has handled the input: waits for the new document when a
// navigation is on its way, for up to `timeout` from now.
std::expected<void, std::string> follow(Tab& tab, Navigation& navigation,
                                        std::chrono::milliseconds timeout) {
  tab.take_events(&navigation);
  if (!navigation.started() || navigation.done()) return {};
  return tab.wait_for(navigation, timeout);
}

// One try at a click: measures where the element is drawn, moves the mouse
// there, has the page check it, presses, and has the page handle the press;
// `navigation` watches for where it leads. `unmet` takes what held it up.
std::expected<Try, std::string> try_click(Tab& tab, const Located& located,
                                          Clock::time_point until, Navigation& navigation,
                                          std::string& unmet) {
  const FrameRef& frame = located.frames[located.index].ref;
  auto spot = measure(tab, located, page_limit(tab, until));
  if (!spot) {
    if (spot.error().final) return std::unexpected(spot.error().text);
    if (spot.error().lost) return Try::lost;
    unmet = spot.error().text;
    return Try::missed;
  }
  const std::optional<Point>& at = tab.widget().mouse;
  if (!at || at->x != spot->top.x || at->y != spot->top.y) {
    if (auto moved = mouse(tab, "mouseMoved", spot->top); !moved) {
      return std::unexpected(moved.error());
    }
  }
  JsonDocument doc;
  Point local = spot->local.value_or(Point{});
  auto aimed = call_page(tab, frame, "aim",
                         single(doc, ObjectBuilder(doc)
                                         .add("x", JsonValue::f64(local.x))
                                         .add("y", JsonValue::f64(local.y))
                                         .add_bool("check", spot->local.has_value())
                                         .add("budget", JsonValue::i64(ms_left(until)))
                                         .build()),
                         Answer::value, page_limit(tab, until));
  if (!aimed) {
    if (document_lost(tab, frame, aimed.error())) return Try::lost;
    return std::unexpected(aimed.error());
  }
  if (std::optional<Miss> miss = verdict_of(aimed->result)) {
    unmet = std::move(miss->text);
    return flag_member(aimed->result, "moved") ? Try::moved : Try::missed;
  }
  tab.take_events();  // what the page did before the press is not the click's doing
  navigation = next_page(tab);
  for (std::string_view type : {"mousePressed", "mouseReleased"}) {
    if (auto sent = mouse(tab, type, spot->top); !sent) return std::unexpected(sent.error());
  }
  // A press the guard lets through has been made: the page's handling of it
  // answers to the step limit, not to the action's deadline.
  auto missed = settle(tab, frame, tab.deadline_in(kStepLimit));
  if (!missed) return std::unexpected(missed.error());
  if (!*missed) return Try::done;
  // The press missed, and the page saw none of it.
  unmet = std::move((*missed)->text);
  return Try::missed;
}

// The one loop of an action: looks for the element and, for a click (when
// `navigation` is given), presses it, trying again while a condition is
// unmet, until `until`. Answers where the element was found, or the failure
// line.
std::expected<Located, std::string> act(Tab& tab, Request& request, Clock::time_point until,
                                        Navigation* navigation) {
  std::string unmet(kNoMatch);  // what held the action up last
  for (;;) {
    std::optional<Located> found;
    auto tried = look(tab, request, until, found, unmet);
    if (tried && *tried == Try::done && navigation) {
      tried = try_click(tab, *found, until, *navigation, unmet);
    }
    if (!tried) return std::unexpected(tried.error());
    Clock::duration pause{};
    switch (*tried) {
      case Try::done: return std::move(*found);
      case Try::moved: break;
      case Try::lost:
        unmet = std::string(kNoMatch);
        pause = kContextPause;
        break;
      case Try::unmet: pause = kLookPause; break;
      case Try::missed:
        pause = kRetryPauses[std::min<size_t>(request.attempt, kRetryPauses.size() - 1)];
        ++request.attempt;
        break;
      case Try::expired: return std::unexpected(unmet + ": " + request.selector);
    }
    if (Clock::now() >= until) return std::unexpected(unmet + ": " + request.selector);
    if (auto paused = tab.pause(std::min(until, Clock::now() + pause)); !paused) {
      return std::unexpected(paused.error());
    }
  }
}

}  // namespace

std::expected<CommandResult, std::string> click(Tab& tab, const std::string& selector,
                                       std::chrono::milliseconds timeout) {
  if (auto front = tab.bring_to_front(); !front) return std::unexpected(front.error());
  Request request{"click", selector, 0, {}, false};
  Navigation navigation = next_page(tab);
  auto clicked = act(tab, request, tab.deadline_in(timeout), &navigation);
  if (!clicked) return std::unexpected(clicked.error());
  if (auto followed = follow(tab, navigation, timeout); !followed) {
    return std::unexpected(followed.error());
  }
  return CommandResult{};
}

std::expected<CommandResult, std::string> type(Tab& tab, const Command& command,
                                      std::chrono::milliseconds timeout) {
  if (auto front = tab.bring_to_front(); !front) return std::unexpected(front.error());
  const std::string selector = command.selector.value_or("");  // the command table requires one
  Request request{"type", selector, 0, command.text, command.submit};
  auto located = act(tab, request, tab.deadline_in(timeout), nullptr);
  if (!located) return std::unexpected(located.error());
  const FrameRef frame = located->frames[located->index].ref;
  if (!command.text.empty() && flag_member(located->answer.result, "ready")) {
    JsonDocument doc;
    // Arrives as typed input over the selection: beforeinput and input
    // events, no key codes; the browser takes it to the focused frame.
    auto inserted = tab.call("Input.insertText",
                             ObjectBuilder(doc).add_string("text", command.text).build());
    if (!inserted) return std::unexpected(inserted.error());
  }
  if (!command.submit) return CommandResult{};
  // Pages that copy the field into their model in a later task see the text
  // before Enter, as with a person's typing: a task and a frame come between.
  if (auto seen = settle(tab, frame, tab.deadline_in(kStepLimit)); !seen) {
    return std::unexpected(seen.error());
  }

  tab.take_events();
  Navigation navigation = next_page(tab);
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
  tab.take_events(&navigation);
  if (!navigation.started()) {
    // Enter submits a form only when it has a submit button or a single
    // field; otherwise the form is submitted as its button would. A page
    // that went away meanwhile was navigating: the events tell.
    (void)call_page(tab, frame, "submitTyped", {}, Answer::value, tab.deadline_in(kStepLimit));
  }
  if (auto settled = settle(tab, frame, tab.deadline_in(kStepLimit)); !settled) {
    return std::unexpected(settled.error());
  }
  if (auto followed = follow(tab, navigation, timeout); !followed) {
    return std::unexpected(followed.error());
  }
  return CommandResult{};
}

std::expected<CommandResult, std::string> text_of(Tab& tab, const std::string& selector,
                                         std::chrono::milliseconds timeout) {
  Request request{"text", selector, 0, {}, false};
  auto located = act(tab, request, tab.deadline_in(timeout), nullptr);
  if (!located) return std::unexpected(located.error());
  CommandResult data;
  const JsonValue* text = located->answer.result.find("text");
  data.value = text && text->is_string() ? *text : JsonValue::string("");
  data.docs.push_back(std::move(located->answer.doc));  // moving keeps `value` valid
  return data;
}

}  // namespace tessik::host
