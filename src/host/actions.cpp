#include "host/actions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "host/json_build.h"
#include "host/json_read.h"
#include "host/page_world.h"

namespace tessik::host {

namespace {

// The page ends its own waits; the margin is for a page too busy to.
constexpr auto kPageMargin = std::chrono::seconds(5);
// How long to let a new document set up before looking in it again.
constexpr auto kContextPause = std::chrono::milliseconds(10);
// Pauses before the tries that follow a press that could not be made, as
// the next ones cannot be expected to fare better at once.
constexpr std::array<std::chrono::milliseconds, 5> kRetryPauses = {
    std::chrono::milliseconds(0), std::chrono::milliseconds(20), std::chrono::milliseconds(100),
    std::chrono::milliseconds(100), std::chrono::milliseconds(500)};

constexpr std::string_view kNoMatch = "no element matches selector";
constexpr std::string_view kNotVisible = "element is not visible";

// What the page code is asked for.
struct Request {
  std::string_view action;  // "click", "type" or "text"
  const std::string& selector;
  unsigned attempt = 0;  // which try of a click this is, for how it scrolls
  std::string_view text;
  bool submit = false;
};

// Where the element was found, and the page code's answer there.
struct Located {
  FrameRef frame;
  Point size;  // the frame's viewport
  Reply answer;
};

// Why a step did not get on: a failure to pass on whole (`final`), or a
// condition still unmet that a later try may find met.
struct Miss {
  std::string text;
  bool final = false;
};

Miss final_miss(std::string text) { return Miss{std::move(text), true}; }

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

// Looks for the element in the tab's top frame (with its open shadow roots
// and frames of its origin): the page code waits there until it is ready
// for the action, or `until`.
std::expected<Located, Miss> locate(Tab& tab, const Request& request, Clock::time_point until) {
  Widget& widget = tab.widget();
  FrameRef top{widget.session, widget.main_frame};
  for (;;) {
    JsonDocument doc;
    auto answer = call_page(tab, top, "prepare", prepare_args(doc, request, ms_left(until)),
                            Answer::value, page_limit(tab, until));
    if (!answer) {
      if (!lost_document(answer.error())) return std::unexpected(final_miss(answer.error()));
      // A page that moved on to another document while the page code
      // waited: the element may be in the new one, once it has a world.
      if (Clock::now() >= until) return std::unexpected(Miss{std::string(kNoMatch)});
      auto paused = tab.pause(std::min(until, Clock::now() + kContextPause));
      if (!paused) return std::unexpected(final_miss(paused.error()));
      continue;
    }
    JsonValue state = answer->result;
    if (!state.is_object()) return std::unexpected(final_miss("the page gave no answer"));
    Point size{number_of(state.find("width")), number_of(state.find("height"))};
    std::string_view error = string_member(state, "error");
    if (error.empty()) return Located{top, size, std::move(*answer)};
    if (flag_member(state, "final")) {
      return std::unexpected(final_miss(flag_member(state, "alone")
                                            ? std::string(error)
                                            : std::string(error) + ": " + request.selector));
    }
    return std::unexpected(Miss{std::string(error)});
  }
}

// The middle of the first of the element's boxes that lies in view, by the
// browser's own account of where it is drawn, in the tab's viewport.
std::expected<Point, Miss> measure(Tab& tab, const Located& located, Clock::time_point until) {
  auto handle = call_page(tab, located.frame, "measuredNode", {}, Answer::handle, until);
  if (!handle) return std::unexpected(Miss{handle.error()});
  std::string_view object = string_member(handle->result, "objectId");
  if (object.empty()) return std::unexpected(Miss{std::string(kNoMatch)});
  JsonDocument doc;
  auto quads = tab.call("DOM.getContentQuads",
                        ObjectBuilder(doc).add_string("objectId", object).build(),
                        located.frame.session);
  if (!quads) {
    if (lost_document(quads.error())) return std::unexpected(Miss{quads.error()});
    return std::unexpected(Miss{std::string(kNotVisible)});  // no layout: nothing drawn
  }
  Point size = located.size;
  const JsonValue* list = quads->result.find("quads");
  for (JsonValue quad : list && list->is_array() ? list->items() : std::span<const JsonValue>()) {
    if (!quad.is_array() || quad.size() != 8) continue;
    // Clamped to the viewport, as much of it as shows there.
    std::array<Point, 4> in;
    for (size_t k = 0; k < 4; ++k) {
      in[k] = Point{std::clamp(number_of(&quad.items()[2 * k]), 0.0, size.x),
                    std::clamp(number_of(&quad.items()[2 * k + 1]), 0.0, size.y)};
    }
    double area = 0;
    for (size_t k = 0; k < 4; ++k) {
      area += in[k].x * in[(k + 1) % 4].y - in[(k + 1) % 4].x * in[k].y;
    }
    if (std::abs(area) / 2 > 0.99) {
      return Point{(in[0].x + in[1].x + in[2].x + in[3].x) / 4,
                   (in[0].y + in[1].y + in[2].y + in[3].y) / 4};
    }
  }
  return std::unexpected(Miss{std::string(kNotVisible)});
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

// After input that may have started a navigation: lets the page handle it
// for one frame, then waits for the new document when one is on its way.
// Answers the unmet condition, without waiting, when the click's guard kept
// the press from the page; empty otherwise.
std::expected<std::string, std::string> follow(Tab& tab, const FrameRef& frame,
                                               Navigation& navigation,
                                               std::chrono::milliseconds timeout) {
  auto settled = call_page(tab, frame, "settle", {}, Answer::value, tab.within(kReplyLimit));
  // A page that goes away meanwhile fails the call: that is a navigation,
  // which the events tell.
  if (settled && settled->result.is_string() && !settled->result.as_string().empty()) {
    return std::string(settled->result.as_string());
  }
  tab.pump(&navigation);
  if (!navigation.started() || navigation.done()) return std::string();
  if (auto waited = tab.wait_for(navigation, timeout); !waited) {
    return std::unexpected(waited.error());
  }
  return std::string();
}

// How one try at a click ended.
enum class Try {
  clicked,
  moved,   // the element came to rest elsewhere than where it was measured
  lost,    // the document went away under it
  missed,  // a condition was unmet, or the press was kept from the page
};

// One try: measures where the element is drawn, moves the mouse there, has
// the page check it, and presses. `unmet` takes what held it up.
std::expected<Try, std::string> try_click(Tab& tab, const Located& located,
                                          Clock::time_point until,
                                          std::chrono::milliseconds timeout, std::string& unmet) {
  const FrameRef& frame = located.frame;
  auto spot = measure(tab, located, page_limit(tab, until));
  if (!spot) {
    if (spot.error().final) return std::unexpected(spot.error().text);
    if (lost_document(spot.error().text)) return Try::lost;
    unmet = spot.error().text;
    return Try::missed;
  }
  const std::optional<Point>& at = tab.widget().mouse;
  if (!at || at->x != spot->x || at->y != spot->y) {
    if (auto moved = mouse(tab, "mouseMoved", *spot); !moved) return std::unexpected(moved.error());
  }
  JsonDocument doc;
  auto aimed = call_page(tab, frame, "aim",
                         single(doc, ObjectBuilder(doc)
                                         .add("x", JsonValue::f64(spot->x))
                                         .add("y", JsonValue::f64(spot->y))
                                         .add("budget", JsonValue::i64(ms_left(until)))
                                         .build()),
                         Answer::value, page_limit(tab, until));
  if (!aimed) {
    if (lost_document(aimed.error())) return Try::lost;
    return std::unexpected(aimed.error());
  }
  if (flag_member(aimed->result, "moved")) return Try::moved;
  if (std::string_view error = string_member(aimed->result, "error"); !error.empty()) {
    unmet = error;
    return Try::missed;
  }
  tab.pump();  // what the page did before the press is not the click's doing
  Navigation navigation(tab.widget().main_frame, false, Navigation::End::dom_content_loaded);
  for (std::string_view type : {"mousePressed", "mouseReleased"}) {
    if (auto sent = mouse(tab, type, *spot); !sent) return std::unexpected(sent.error());
  }
  auto followed = follow(tab, frame, navigation, timeout);
  if (!followed) return std::unexpected(followed.error());
  if (followed->empty()) return Try::clicked;
  // The press missed, and the page saw none of it.
  unmet = *followed;
  return Try::missed;
}

}  // namespace

std::expected<Data, std::string> click(Tab& tab, const std::string& selector,
                                       std::chrono::milliseconds timeout) {
  if (auto front = tab.bring_to_front(); !front) return std::unexpected(front.error());
  Clock::time_point until = tab.within(timeout);
  Request request{"click", selector, 0, {}, false};
  std::string unmet;
  for (;;) {
    if (!unmet.empty() && Clock::now() >= until) return std::unexpected(unmet + ": " + selector);
    auto located = locate(tab, request, until);
    if (!located) {
      const Miss& miss = located.error();
      return std::unexpected(miss.final ? miss.text : miss.text + ": " + selector);
    }
    auto tried = try_click(tab, *located, until, timeout, unmet);
    if (!tried) return std::unexpected(tried.error());
    Clock::duration pause{};
    switch (*tried) {
      case Try::clicked: return Data{};
      case Try::moved: continue;
      case Try::lost:
        unmet = std::string(kNoMatch);
        pause = kContextPause;
        break;
      case Try::missed:
        pause = kRetryPauses[std::min<size_t>(request.attempt, kRetryPauses.size() - 1)];
        ++request.attempt;
        break;
    }
    if (auto paused = tab.pause(std::min(until, Clock::now() + pause)); !paused) {
      return std::unexpected(paused.error());
    }
  }
}

std::expected<Data, std::string> type(Tab& tab, const Command& command,
                                      std::chrono::milliseconds timeout) {
  if (auto front = tab.bring_to_front(); !front) return std::unexpected(front.error());
  Request request{"type", command.selector, 0, command.text, command.submit};
  auto located = locate(tab, request, tab.within(timeout));
  if (!located) {
    const Miss& miss = located.error();
    return std::unexpected(miss.final ? miss.text : miss.text + ": " + command.selector);
  }
  const FrameRef frame = located->frame;
  if (!command.text.empty() && flag_member(located->answer.result, "ready")) {
    JsonDocument doc;
    // Arrives as typed input over the selection: beforeinput and input
    // events, no key codes; the browser takes it to the focused frame.
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
    // field; otherwise the form is submitted as its button would. A page
    // that went away meanwhile was navigating: the events tell.
    (void)call_page(tab, frame, "submitTyped", {}, Answer::value, tab.within(kReplyLimit));
  }
  if (auto followed = follow(tab, frame, navigation, timeout); !followed) {
    return std::unexpected(followed.error());
  }
  return Data{};
}

std::expected<Data, std::string> text_of(Tab& tab, const std::string& selector,
                                         std::chrono::milliseconds timeout) {
  Request request{"text", selector, 0, {}, false};
  auto located = locate(tab, request, tab.within(timeout));
  if (!located) {
    const Miss& miss = located.error();
    return std::unexpected(miss.final ? miss.text : miss.text + ": " + selector);
  }
  Data data;
  const JsonValue* text = located->answer.result.find("text");
  data.value = text && text->is_string() ? *text : JsonValue::string("");
  data.docs.push_back(std::move(located->answer.doc));  // moving keeps `value` valid
  return data;
}

}  // namespace tessik::host
