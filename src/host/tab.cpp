#include "host/tab.h"

#include <algorithm>

#include "host/json_build.h"
#include "host/json_read.h"
#include "json/writer.h"

namespace tessik::host {

std::string exception_text(JsonValue details) {
  if (const JsonValue* thrown = details.find("exception")) {
    if (const JsonValue* description = thrown->find("description");
        description && description->is_string()) {
      std::string_view text = description->as_string();
      return std::string(text.substr(0, text.find("\n    at ")));
    }
    if (const JsonValue* value = thrown->find("value")) {
      return value->is_string() ? std::string(value->as_string()) : to_compact_json(*value);
    }
  }
  std::string_view text = string_member(details, "text");
  return text.empty() ? "the script threw an exception" : std::string(text);
}

std::expected<JsonValue, std::string> runtime_answer(const Reply& reply, Answer answer) {
  if (const JsonValue* details = reply.result.find("exceptionDetails")) {
    return std::unexpected(exception_text(*details));
  }
  const JsonValue* object = reply.result.find("result");
  if (object && answer == Answer::value) object = object->find("value");
  return object ? *object : JsonValue();
}

std::expected<Reply, std::string> answered(std::expected<Reply, std::string> reply, Answer answer) {
  if (!reply) return reply;
  auto result = runtime_answer(*reply, answer);
  if (!result) return std::unexpected(result.error());
  reply->result = *result;
  return reply;
}

const World* Tab::reached(std::string_view session, std::string_view frame) const {
  for (const World& world : reached_) {
    if (world.session == session && world.frame == frame) return &world;
  }
  return nullptr;
}

void Tab::reach(const World& world) {
  std::erase_if(reached_, [&](const World& w) {
    return w.session == world.session && w.frame == world.frame;
  });
  reached_.push_back(world);
}

std::expected<Reply, std::string> Tab::call(std::string_view method, JsonValue params,
                                            std::string_view session) {
  return call(method, params, session, deadline_in(kStepLimit));
}

std::expected<Reply, std::string> Tab::call(std::string_view method, JsonValue params,
                                            std::string_view session, Clock::time_point until) {
  return devtools_.call(method, params, session.empty() ? widget_.session : session,
                        std::min(until, deadline_in(kStepLimit)));
}

std::expected<void, std::string> Tab::post(std::string_view method, JsonValue params,
                                           std::string_view session) {
  return devtools_.post(method, params, session.empty() ? widget_.session : session,
                        deadline_in(kStepLimit));
}

std::expected<Reply, std::string> Tab::evaluate(std::string_view expression) {
  JsonDocument doc;
  return answered(call("Runtime.evaluate", ObjectBuilder(doc)
                                               .add_string("expression", expression)
                                               .add_bool("returnByValue", true)
                                               .add_bool("awaitPromise", true)
                                               .build()),
                  Answer::value);
}

void Tab::take_events(Navigation* navigation) {
  auto& queue = devtools_.events();
  while (!queue.empty()) {
    Event event = std::move(queue.front());
    queue.pop_front();
    widgets_.note(event);
    if (navigation && !event.session.empty() && event.session == widget_.session) {
      navigation->see(event);
    }
  }
}

std::expected<void, std::string> Tab::pause(Clock::time_point until, Navigation* navigation) {
  auto waited = devtools_.wait_for_event(std::min(until, deadline_));
  take_events(navigation);
  return waited;
}

std::expected<void, std::string> Tab::wait_for(Navigation& navigation,
                                               std::chrono::milliseconds limit) {
  Clock::time_point start = Clock::now();
  Clock::time_point until = deadline_in(limit);
  auto done = wait_until(navigation, until);
  if (!done) return std::unexpected(done.error());
  if (*done) return {};
  // The request's own deadline may have come first.
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(until - start);
  return std::unexpected(timed_out(std::min(limit, waited), navigation.awaited()));
}

std::expected<bool, std::string> Tab::wait_until(Navigation& navigation, Clock::time_point until) {
  for (;;) {
    take_events(&navigation);
    if (navigation.done()) return true;
    // A page that crashes on its way in ends the wait.
    if (std::string_view why = devtools_.failure(widget_.session); !why.empty()) {
      return std::unexpected(std::string(why));
    }
    if (Clock::now() >= until) return false;
    if (auto waited = devtools_.wait_for_event(until); !waited) {
      return std::unexpected(waited.error());
    }
  }
}

std::expected<void, std::string> Tab::bring_to_front() {
  if (widgets_.front() == widget_.target) return {};
  auto brought = call("Page.bringToFront", {});
  if (!brought) return std::unexpected(brought.error());
  widgets_.set_front(widget_.target);
  return {};
}

}  // namespace tessik::host
