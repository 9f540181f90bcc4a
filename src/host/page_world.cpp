#include "host/page_world.h"
#include "host/messages.h"

#include <algorithm>
#include <optional>

#include "host/json_build.h"
#include "host/json_read.h"
#include "host/page_script.h"
#include "host/value_function.h"

namespace tessik::host {

namespace {

// The browser's own answer to a call a new document cut off: the one text of
// the browser's that the host reads (document_lost says why).
constexpr std::string_view kCutOffByNavigation = "Inspected target navigated or closed";

// The isolated world's name, and the group of the handles page calls give out.
constexpr std::string_view kWorldName = "tessik";
constexpr std::string_view kHandleGroup = "tessik";

// The world of `frame`, made and given the page code when its document has none.
std::expected<int64_t, std::string> world_of(Tab& tab, const FrameRef& frame,
                                             Clock::time_point until) {
  Widget& widget = tab.widget();
  auto it = std::find_if(widget.worlds.begin(), widget.worlds.end(), [&](const World& w) {
    return w.session == frame.session && w.frame == frame.frame;
  });
  if (it != widget.worlds.end()) {
    tab.reach(*it);
    return it->context;
  }

  JsonDocument doc;
  auto made = tab.call("Page.createIsolatedWorld",
                       ObjectBuilder(doc)
                           .add_string("frameId", frame.frame)
                           .add_string("worldName", kWorldName)
                           .build(),
                       frame.session, until);
  if (!made) return std::unexpected(made.error());
  std::optional<int64_t> context = integer_member(made->result, "executionContextId");
  if (!context) return std::unexpected(std::string(msg::kNoWorld));
  // What fails from here on failed in this world: whether its document went
  // away meanwhile is told by whether it still exists.
  tab.reach(World{frame.session, frame.frame, *context});
  // A world of that name that the document has already keeps the code it got.
  JsonDocument check;
  auto installed = tab.call("Runtime.evaluate",
                            ObjectBuilder(check)
                                .add_string("expression", "typeof prepare === 'function'")
                                .add("contextId", JsonValue::i64(*context))
                                .add_bool("returnByValue", true)
                                .build(),
                            frame.session, until);
  if (!installed) return std::unexpected(installed.error());
  const JsonValue* result = installed->result.find("result");
  const JsonValue* has = result ? result->find("value") : nullptr;
  if (!has || !has->is_bool() || !has->as_bool()) {
    JsonDocument source;
    auto loaded = tab.call("Runtime.evaluate",
                           ObjectBuilder(source)
                               .add_string("expression", kPageScript)
                               .add("contextId", JsonValue::i64(*context))
                               .build(),
                           frame.session, until);
    if (!loaded) return std::unexpected(loaded.error());
    if (const JsonValue* details = loaded->result.find("exceptionDetails")) {
      return std::unexpected(msg::because(msg::kPageCodeDidNotLoad, exception_text(*details)));
    }
  }
  widget.worlds.push_back(World{frame.session, frame.frame, *context});
  return *context;
}

// The protocol's form of arguments: each value wrapped as {"value": ...}.
JsonValue call_arguments(JsonDocument& doc, JsonValue args) {
  std::vector<JsonValue> wrapped;
  for (JsonValue arg : args.is_array() ? args.items() : std::span<const JsonValue>()) {
    wrapped.push_back(ObjectBuilder(doc).add("value", arg).build());
  }
  return add_array(doc, wrapped);
}

}  // namespace

bool document_lost(Tab& tab, const FrameRef& frame, std::string_view error) {
  // A crashed page fails its calls at once; looking again would not help.
  if (!tab.devtools().failure(frame.session).empty()) return false;
  // The browser answers this itself for the calls still in flight when a
  // new document takes the session over, before the news of the old
  // document's contexts: nothing else tells that in time.
  if (error.starts_with(kCutOffByNavigation)) return true;
  const Widget& widget = tab.widget();
  if (const World* world = tab.reached(frame.session, frame.frame)) {
    return !widget.has_context(frame.session, world->context);
  }
  // Nothing was reached there: the frame has no document now, or is gone.
  return !widget.has_document(frame.session, frame.frame);
}

std::expected<Reply, std::string> call_page(Tab& tab, const FrameRef& frame,
                                            std::string_view function, JsonValue args,
                                            Answer answer, Clock::time_point until) {
  auto context = world_of(tab, frame, until);
  if (!context) return std::unexpected(context.error());
  JsonDocument doc;
  ObjectBuilder params(doc);
  // The function's name is looked up in the world, where the page code put it.
  params.add_string("functionDeclaration", function)
      .add("executionContextId", JsonValue::i64(*context))
      .add("arguments", call_arguments(doc, args))
      .add_bool("awaitPromise", true)
      .add_bool("returnByValue", answer == Answer::value);
  if (answer == Answer::handle) params.add_string("objectGroup", keep_handles(tab, frame.session));
  return answered(tab.call("Runtime.callFunctionOn", params.build(), frame.session, until),
                  answer);
}

namespace {

// `function` called on `object` by value, the reply as the browser gave it.
std::expected<Reply, std::string> call_function_on(Tab& tab, std::string_view session,
                                                   std::string_view object,
                                                   std::string_view function, JsonValue args,
                                                   Clock::time_point until) {
  JsonDocument doc;
  ObjectBuilder params(doc);
  params.add_string("functionDeclaration", function)
      .add_string("objectId", object)
      .add("arguments", call_arguments(doc, args))
      .add_bool("awaitPromise", true)
      .add_bool("returnByValue", true);
  return tab.call("Runtime.callFunctionOn", params.build(), session, until);
}

}  // namespace

std::string_view keep_handles(Tab& tab, std::string_view session) {
  auto& sessions = tab.handle_sessions();
  if (std::find(sessions.begin(), sessions.end(), session) == sessions.end()) {
    sessions.emplace_back(session);
  }
  return kHandleGroup;
}

std::expected<Reply, std::string> call_on(Tab& tab, std::string_view session,
                                          std::string_view object, std::string_view function,
                                          JsonValue args, Clock::time_point until) {
  // The function's name is looked up in the world the object belongs to.
  return answered(call_function_on(tab, session, object, function, args, until), Answer::value);
}

std::expected<Reply, std::string> json_value_of(Tab& tab, std::string_view session,
                                                std::string_view object, Clock::time_point until) {
  return call_function_on(tab, session, object, kValueFunction, {}, until);
}

void release_handles(Tab& tab) {
  for (const std::string& session : tab.handle_sessions()) {
    JsonDocument doc;
    // Nobody waits for the answer; a failure leaves a few handles until the document goes.
    (void)tab.post("Runtime.releaseObjectGroup",
                   ObjectBuilder(doc).add_string("objectGroup", kHandleGroup).build(), session);
  }
  tab.handle_sessions().clear();
}

}  // namespace tessik::host
