#include "host/browser.h"
#include "host/messages.h"

#include <algorithm>

#include "host/actions.h"
#include "host/json_build.h"
#include "host/json_read.h"
#include "host/navigation.h"
#include "host/page_world.h"
#include "host/tab.h"
#include "host/text_function.h"
#include "json/writer.h"

namespace tessik::host {

namespace {

CommandResult result_of(Reply reply, JsonValue value) {
  CommandResult data;
  data.docs.push_back(std::move(reply.doc));  // moving keeps `value` valid
  data.value = value;
  return data;
}

// Longest part of a dialog's message that the host's log line shows.
constexpr size_t kShownMessage = 200;
// How long the browser may take to say that a tab whose session went away
// has closed.
constexpr auto kClosingNote = std::chrono::milliseconds(500);
// How long the browser may take to stop a load that ran out of time.
constexpr auto kStopLimit = std::chrono::seconds(2);

// "cannot load {url}: {why}"
std::string cannot_load(std::string_view url, std::string_view why) {
  return "cannot load " + std::string(url) + ": " + std::string(why);
}

// Stops the load that ran out of time, so that the tab answers the next
// command at once; its failure says where it went and for how long, which
// is `limit` unless the request's own deadline came first.
std::string stop_late(Tab& tab, std::string_view url, Clock::time_point start,
                      Clock::time_point until, std::chrono::milliseconds limit) {
  // Stopped or not, the command has failed; a browser too busy to answer
  // fails the next one with its own reason.
  (void)tab.call("Page.stopLoading", {}, {}, Clock::now() + kStopLimit);
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(until - start);
  return "navigation to " + std::string(url) + " timed out after " +
         std::to_string(std::min(limit, waited).count()) + " ms";
}

// Gives the tab of `session` a window of `size`, with the focus, as a
// person's window in front has: pages lay out for it, and those that ask
// whether they have the focus, or act only when they do, behave as there.
// The replies only say it was done; a failure is the browser's going.
void fit_window(DevTools& devtools, std::string_view session, WindowSize size, bool focus,
                Clock::time_point until) {
  JsonDocument doc;
  // No size: the window keeps its own (a browser the host attached to).
  if (size.width != 0) {
    (void)devtools.post("Emulation.setDeviceMetricsOverride",
                        ObjectBuilder(doc)
                            .add_u64("width", size.width)
                            .add_u64("height", size.height)
                            .add_u64("screenWidth", size.width)
                            .add_u64("screenHeight", size.height)
                            .add_u64("deviceScaleFactor", 1)
                            .add_bool("mobile", false)
                            .build(),
                        session, until);
  }
  if (focus) {
    (void)devtools.post("Emulation.setFocusEmulationEnabled",
                        ObjectBuilder(doc).add_bool("enabled", true).build(), session, until);
  }
}

// How long the news that a new tab was attached may take.
constexpr auto kAttachNews = std::chrono::seconds(1);

// Whether the command loads a new document, which a crashed tab can take.
bool loads_document(CommandKind kind) {
  return kind == CommandKind::navigate || kind == CommandKind::back ||
         kind == CommandKind::forward || kind == CommandKind::reload;
}

// Target.setAutoAttach's parameters: sessions of their own, each announced by
// an event, for targets of `type` (the filter's one entry).
JsonValue auto_attach(JsonDocument& doc, std::string_view type, bool wait) {
  JsonValue filter = ObjectBuilder(doc).add_string("type", type).build();
  return ObjectBuilder(doc)
      .add_bool("autoAttach", true)
      .add_bool("waitForDebuggerOnStart", wait)
      .add_bool("flatten", true)
      .add("filter", add_array(doc, {&filter, 1}))
      .build();
}

}  // namespace

Browser::Browser(DevTools& devtools, Log& log, Timeouts timeouts, WindowSize window)
    : devtools_(devtools), log_(log), timeouts_(timeouts), window_(window) {
  devtools_.set_watcher([this](const Event& event) { return watch(event); });
}

bool Browser::watch(const Event& event) {
  if (widgets_.watch(event)) return true;
  if (event.method == "Page.javascriptDialogOpening") {
    answer_dialog(event);
  } else if (event.method == "Target.attachedToTarget") {
    set_up(event);
  } else if (event.method == "Inspector.targetCrashed") {
    devtools_.fail_session(event.session, kPageCrashed);
  } else if (event.method == "Target.targetCrashed") {
    if (Widget* widget = widgets_.by_target(string_member(event.params, "targetId"))) {
      devtools_.fail_session(widget->session, kPageCrashed);
    }
  } else if (event.method == "Page.frameNavigated") {
    // A new document in a tab's top frame brings a crashed tab back,
    // whatever loaded it.
    const JsonValue* frame = event.params.find("frame");
    const Widget* widget = widgets_.owner_of(event.session);
    if (frame && widget && widget->session == event.session &&
        string_member(*frame, "id") == widget->main_frame) {
      devtools_.revive(event.session);
    }
  }
  return false;
}

// A session is set up the moment it is announced, before any command names
// it: a new tab waits for that before it runs anything, so none of its
// dialogs goes unanswered, and each frame of another process gets sessions
// for the frames inside it in turn, at any depth. Nothing waits for the
// replies, which only say that each step was taken; a failure here is the
// browser's going, which the command in flight finds out by itself.
void Browser::set_up(const Event& event) {
  std::string_view session = string_member(event.params, "sessionId");
  const JsonValue* info = event.params.find("targetInfo");
  if (session.empty() || !info) return;
  Clock::time_point until = Clock::now() + kStepLimit;
  JsonDocument doc;
  if (event.session.empty()) {
    if (string_member(*info, "type") != "page") return;
    Widget* widget = widgets_.attached(event);
    if (!widget) {
      // A second session to a tab that has one would answer its dialogs twice.
      (void)devtools_.post("Target.detachFromTarget",
                           ObjectBuilder(doc).add_string("sessionId", session).build(), {}, until);
      return;
    }
    // A tab held at its start, with focus emulation on, was seen to crash
    // (its renderer, SIGSEGV) at its first navigation to another process:
    // such a tab goes without it.
    widget->focus_emulated = !flag_member(event.params, "waitingForDebugger");
    (void)devtools_.post("Page.enable", {}, session, until);
    // Lifecycle events carry the loader id that tells one document's load
    // event from another's.
    (void)devtools_.post("Page.setLifecycleEventsEnabled",
                         ObjectBuilder(doc).add_bool("enabled", true).build(), session, until);
  } else if (string_member(*info, "type") != "iframe") {
    return;
  }
  // Its documents' script contexts are announced as they come and go, which
  // tells a call whose document went away under it from one that failed.
  (void)devtools_.post("Runtime.enable", {}, session, until);
  // Frames of other sites run in processes of their own, reached through
  // sessions of their own, so that selectors reach into them.
  (void)devtools_.post("Target.setAutoAttach", auto_attach(doc, "iframe", false), session, until);
  (void)devtools_.post("Runtime.runIfWaitingForDebugger", {}, session, until);
}

// Answers as automation does by default, so that no page waits on a person:
// alerts and leave-page prompts are accepted (the navigation goes on),
// confirms and prompts dismissed (false and null to the page).
void Browser::answer_dialog(const Event& event) {
  std::string_view type = string_member(event.params, "type");
  bool accept = type == "alert" || type == "beforeunload";
  JsonDocument doc;
  // The reply only says the dialog closed; a failure here is the browser's
  // going, which the command in flight finds out by itself.
  (void)devtools_.post("Page.handleJavaScriptDialog",
                       ObjectBuilder(doc).add_bool("accept", accept).build(), event.session,
                       Clock::now() + kStepLimit);
  const Widget* widget = widgets_.owner_of(event.session);
  std::string_view message = string_member(event.params, "message");
  std::string line = "tessik-browser-host: widget " + (widget ? widget->id : std::string("?")) +
                     ": " + std::string(type) + " ";
  escape_json_string(line, message.substr(0, kShownMessage));
  line += accept ? " accepted\n" : " dismissed\n";
  log_.write(line);
}

std::expected<void, std::string> Browser::keep_a_widget(Clock::time_point deadline) {
  if (!widgets_.empty()) return {};
  JsonDocument doc;
  auto created = devtools_.call("Target.createTarget",
                                ObjectBuilder(doc).add_string("url", "about:blank").build(), {},
                                std::min(deadline, Clock::now() + kStepLimit));
  if (!created) return std::unexpected(created.error());
  widgets_.add_opened(string_member(created->result, "targetId"));
  return {};
}

std::expected<void, std::string> Browser::start(Clock::time_point deadline) {
  JsonDocument doc;
  auto discover = devtools_.call("Target.setDiscoverTargets",
                                 ObjectBuilder(doc).add_bool("discover", true).build(), {},
                                 deadline);
  if (!discover) return std::unexpected(discover.error());
  // The tabs open now are announced before the reply; each new one is held
  // until set_up has done its part.
  JsonDocument tabs;
  auto attaching =
      devtools_.call("Target.setAutoAttach", auto_attach(tabs, "page", true), {}, deadline);
  if (!attaching) return std::unexpected(attaching.error());
  if (widgets_.empty()) {
    auto created = devtools_.call("Target.createTarget",
                                  ObjectBuilder(doc).add_string("url", "about:blank").build(), {},
                                  deadline);
    if (!created) return std::unexpected(created.error());
    widgets_.add_opened(string_member(created->result, "targetId"));
  }
  auto widget = widgets_.pick(std::string(kFirstWidget));
  if (!widget) return std::unexpected(widget.error());
  if (auto attached = attach(*widget, deadline); !attached) return attached;
  // The first tab ran before the host was attached, so nothing held it
  // until set_up's steps were taken: its page events, which give its
  // address, must flow before a command can load a document in it.
  auto enabled = devtools_.call("Page.enable", {}, (*widget)->session, deadline);
  if (!enabled) return std::unexpected(enabled.error());
  return {};
}

void Browser::absorb_events() {
  auto& queue = devtools_.events();
  while (!queue.empty()) {
    widgets_.note(queue.front());
    queue.pop_front();
  }
  // Should it fail, the next command tries again.
  (void)keep_a_widget(Clock::now() + kStepLimit);
}

std::expected<void, std::string> Browser::attach(const std::shared_ptr<Widget>& widget,
                                                 Clock::time_point deadline) {
  Clock::time_point until = std::min(deadline, Clock::now() + kAttachNews);
  while (widget->session.empty() && Clock::now() < until) {
    auto waited = devtools_.wait_for_event(until);
    absorb_events();
    if (!widgets_.holds(widget)) return std::unexpected(no_such_widget(widget->id));
    if (!waited) return std::unexpected(waited.error());
  }
  if (widget->session.empty()) {
    // The browser announces this session too, and set_up takes it.
    JsonDocument doc;
    auto attached = devtools_.call("Target.attachToTarget",
                                   ObjectBuilder(doc)
                                       .add_string("targetId", widget->target)
                                       .add_bool("flatten", true)
                                       .build(),
                                   {}, std::min(deadline, Clock::now() + kStepLimit));
    if (!attached) {
      // The tab may have closed before its end was noted.
      if (devtools_.read_available()) absorb_events();
      if (!widgets_.holds(widget)) return std::unexpected(no_such_widget(widget->id));
      return std::unexpected(attached.error());
    }
    if (widget->session.empty()) return std::unexpected(std::string(msg::kNoSession));
  }
  // At the first command, once the tab has started.
  if (!widget->windowed) {
    fit_window(devtools_, widget->session, window_, widget->focus_emulated,
               std::min(deadline, Clock::now() + kStepLimit));
    widget->windowed = true;
  }
  return {};
}

std::expected<CommandResult, std::string> Browser::run(const Command& command, Clock::time_point deadline) {
  absorb_events();  // what happened before this command is no news to it
  if (Clock::now() >= deadline) {
    return std::unexpected(std::string(msg::kBusyTooLong));
  }
  if (auto kept = keep_a_widget(deadline); !kept) return std::unexpected(kept.error());
  auto widget = widgets_.pick(command.widget);
  if (!widget) return std::unexpected(widget.error());
  if (auto attached = attach(*widget, deadline); !attached) {
    return std::unexpected(attached.error());
  }
  // The command keeps its own reference, in case the tab closes meanwhile.
  std::shared_ptr<Widget> held = *widget;
  Tab tab(devtools_, widgets_, *held, deadline);
  // The browser itself answers the calls that load a new document, crashed
  // tab or not; a crash meanwhile still fails them at once.
  bool loads = loads_document(command.kind);
  if (loads) devtools_.let_through(held->session);
  auto data = dispatch(command, tab);
  if (loads) devtools_.hold_back(held->session);
  release_handles(tab);
  if (!data && held->detached) {
    // A tab that closes under a command takes its sessions with it a
    // moment before the browser says it closed: that is what to report.
    Clock::time_point until = std::min(deadline, Clock::now() + kClosingNote);
    while (widgets_.holds(held) && Clock::now() < until) {
      if (!tab.pause(until)) break;
    }
    if (!widgets_.holds(held)) return std::unexpected(no_such_widget(held->id));
  }
  return data;
}

std::expected<CommandResult, std::string> Browser::dispatch(const Command& command, Tab& tab) {
  switch (command.kind) {
    case CommandKind::url: return url(tab);
    case CommandKind::title: return title(tab);
    case CommandKind::navigate: return navigate(tab, command.url);
    case CommandKind::back: return go(tab, -1);
    case CommandKind::forward: return go(tab, +1);
    case CommandKind::reload: return reload(tab);
    case CommandKind::text: return text(tab, command);
    case CommandKind::eval: return eval(tab, command.script);
    case CommandKind::click: return click(tab, command.selector.value_or(""), timeouts_.action);
    case CommandKind::type: return type(tab, command, timeouts_.action);
  }
  return std::unexpected(std::string(msg::kUnknownCommand));
}

std::expected<CommandResult, std::string> Browser::url(Tab& tab) {
  // From the host's own record of the document the top frame committed
  // last, kept from the browser's events up to now: a page whose main
  // thread is busy answers at once, and a document still on its way is not
  // shown yet.
  if (auto read = devtools_.read_available(); !read) return std::unexpected(read.error());
  tab.take_events();
  if (std::string_view why = devtools_.failure(tab.widget().session); !why.empty()) {
    return std::unexpected(std::string(why));
  }
  CommandResult data;
  data.docs.emplace_back();
  data.value = data.docs.back().add_string(tab.widget().url);
  return data;
}

std::expected<CommandResult, std::string> Browser::title(Tab& tab) {
  auto reply = tab.evaluate("document.title");
  if (!reply) return std::unexpected(reply.error());
  JsonValue value = reply->result;
  return result_of(std::move(*reply), value);
}

std::expected<CommandResult, std::string> Browser::navigate(Tab& tab, const std::string& url) {
  tab.take_events();  // the events of earlier navigations are not this one's
  std::string target = complete_url(url);
  Clock::time_point start = Clock::now();
  Clock::time_point until = tab.deadline_in(timeouts_.navigation);
  JsonDocument doc;
  // The reply comes once the server has answered, which it may never do.
  auto reply =
      tab.call("Page.navigate", ObjectBuilder(doc).add_string("url", target).build(), {}, until);
  if (!reply) {
    if (Clock::now() >= until) {
      return std::unexpected(stop_late(tab, target, start, until, timeouts_.navigation));
    }
    // The browser's refusal of the URL itself.
    if (reply.error().starts_with("Cannot navigate")) {
      return std::unexpected(cannot_load(target, reply.error()));
    }
    return std::unexpected(reply.error());
  }
  // A download leaves the page as it was; the browser calls the navigation
  // aborted, but the file is on its way.
  if (flag_member(reply->result, "isDownload")) return CommandResult{};
  if (std::string_view error = string_member(reply->result, "errorText"); !error.empty()) {
    return std::unexpected(cannot_load(target, error));
  }
  Navigation navigation(tab.widget().main_frame, Navigation::Start::document,
                        Navigation::End::load);
  std::string_view loader = string_member(reply->result, "loaderId");
  // Without a loader id the navigation stayed within the document: done.
  if (loader.empty()) return CommandResult{};
  navigation.expect_loader(loader);
  auto done = tab.wait_until(navigation, until);
  if (!done) return std::unexpected(done.error());
  if (!*done) return std::unexpected(stop_late(tab, target, start, until, timeouts_.navigation));
  return CommandResult{};
}

std::expected<CommandResult, std::string> Browser::go(Tab& tab, int step) {
  Clock::time_point start = Clock::now();
  Clock::time_point until = tab.deadline_in(timeouts_.navigation);
  auto history = tab.call("Page.getNavigationHistory", {});
  if (!history) return std::unexpected(history.error());
  const JsonValue* entries = history->result.find("entries");
  const JsonValue* current = history->result.find("currentIndex");
  if (!entries || !entries->is_array() || !current || current->kind() != JsonKind::u64) {
    return std::unexpected(std::string(msg::kNoHistory));
  }
  uint64_t index = current->as_u64();
  if (step < 0 && index == 0) return std::unexpected(std::string(msg::kNoPrevious));
  if (step > 0 && index + 1 >= entries->size()) {
    return std::unexpected(std::string(msg::kNoNext));
  }
  JsonValue entry = entries->items()[step < 0 ? index - 1 : index + 1];
  const JsonValue* id = entry.find("id");
  if (!id) return std::unexpected(std::string(msg::kNoHistory));

  JsonDocument doc;
  Navigation navigation(tab.widget().main_frame, Navigation::Start::history,
                        Navigation::End::load);
  tab.take_events();  // the events of earlier navigations are not this one's
  auto moved = tab.call("Page.navigateToHistoryEntry", ObjectBuilder(doc).add("entryId", *id).build());
  if (!moved) return std::unexpected(moved.error());
  auto done = tab.wait_until(navigation, until);
  if (!done) return std::unexpected(done.error());
  if (!*done) {
    return std::unexpected(
        stop_late(tab, string_member(entry, "url"), start, until, timeouts_.navigation));
  }
  return CommandResult{};
}

std::expected<CommandResult, std::string> Browser::reload(Tab& tab) {
  Clock::time_point start = Clock::now();
  Clock::time_point until = tab.deadline_in(timeouts_.navigation);
  Navigation navigation(tab.widget().main_frame, Navigation::Start::document,
                        Navigation::End::load);
  tab.take_events();  // the events of earlier navigations are not this one's
  auto reply = tab.call("Page.reload", {});
  if (!reply) return std::unexpected(reply.error());
  auto done = tab.wait_until(navigation, until);
  if (!done) return std::unexpected(done.error());
  if (!*done) {
    std::string_view url = navigation.url().empty() ? "the page" : navigation.url();
    return std::unexpected(stop_late(tab, url, start, until, timeouts_.navigation));
  }
  return CommandResult{};
}

std::expected<CommandResult, std::string> Browser::text(Tab& tab, const Command& command) {
  if (command.selector) return text_of(tab, *command.selector, timeouts_.action);
  // In the page's world: one call, with no world of the host's to set up.
  auto reply = tab.evaluate("(" + std::string(kTextFunction) + ")()");
  if (!reply) return std::unexpected(reply.error());
  JsonValue value = reply->result;
  return result_of(std::move(*reply), value);
}

std::expected<CommandResult, std::string> Browser::eval(Tab& tab, const std::string& script) {
  Clock::time_point until = tab.deadline_in(kStepLimit);
  // A script that never returns would hold the tab: the browser stops it a
  // little before the wait for its reply ends.
  auto stop_after = std::max<long long>(
      1, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count() - 500);
  Clock::time_point stopped = Clock::now() + std::chrono::milliseconds(stop_after);
  const std::string& session = tab.widget().session;
  JsonDocument doc;
  // An object comes back as a handle, for its value to be read in the page.
  auto reply = tab.call("Runtime.evaluate",
                        ObjectBuilder(doc)
                            .add_string("expression", script)
                            .add_bool("returnByValue", false)
                            .add_string("objectGroup", keep_handles(tab, session))
                            .add_bool("awaitPromise", true)
                            .add_bool("userGesture", true)
                            .add_u64("timeout", static_cast<uint64_t>(stop_after))
                            .build(),
                        {}, until);
  auto handle = reply ? runtime_answer(*reply, Answer::handle) : JsonValue();
  std::string_view id = handle ? string_member(*handle, "objectId") : std::string_view();
  if (!id.empty()) {
    // By JSON's rules, in the page, where toJSON and the DOM are.
    reply = json_value_of(tab, session, id, stopped);
    // A toJSON that never returns holds the page: it is stopped.
    if (!reply && Clock::now() >= stopped) {
      (void)tab.post("Runtime.terminateExecution", {});
    }
  }
  if (!reply) {
    // A result still arriving at the end was ready in time; the browser was
    // slow to pass it on.
    if (Clock::now() >= until && devtools_.receiving()) {
      return std::unexpected(std::string(msg::kResultTooSlow));
    }
    // Stopped, or a promise that never settled: either way it took too long.
    if (Clock::now() >= stopped) return std::unexpected(std::string(msg::kScriptTimedOut));
    return std::unexpected(reply.error());
  }

  CommandResult data;
  data.docs.emplace_back();
  ObjectBuilder result(data.docs.back());
  auto object = runtime_answer(*reply, Answer::handle);
  if (!object) {
    result.add_bool("ok", false).add_string("error", object.error());
  } else {
    result.add_bool("ok", true);
    const JsonValue* value = object->find("value");
    std::string_view unserializable = string_member(*object, "unserializableValue");
    if (value) {
      result.add("value", *value);
    } else if (unserializable == "-0") {
      result.add("value", JsonValue::f64(-0.0));
    } else if (!unserializable.empty()) {
      // NaN, the infinities and big integers have no JSON number: their text.
      result.add_string("value", unserializable);
    }
    // undefined has no value at all and reads as null.
  }
  data.value = result.build();
  data.docs.push_back(std::move(reply->doc));
  return data;
}

}  // namespace tessik::host
