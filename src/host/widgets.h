#pragma once
// The widget table: the browser's tabs as numbered widgets, with what the
// host keeps about each (its session, the frames of other processes in it,
// the host's page code installed in its documents), kept up to date from the
// browser's events.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/devtools.h"

namespace tessik::host {

// The id of the tab that is open when the browser starts.
inline constexpr std::string_view kFirstWidget = "1";

struct Point {
  double x = 0;
  double y = 0;
};

// A frame that runs in a process of its own (one of another site), reached
// through a session of its own.
struct ChildFrame {
  std::string frame;           // its frame id, which is also its target id
  std::string session;
  std::string parent_session;  // the session that holds its frame element
};

// The host's page code in one frame's document: the isolated world it runs in.
struct World {
  std::string session;
  std::string frame;
  int64_t context = 0;
};

// A script context the browser has announced in one of the widget's
// sessions, until it announces its end: a document's own (`main`), or a
// world beside it.
struct Context {
  std::string session;
  std::string frame;
  int64_t id = 0;
  bool main = false;
};

struct Widget {
  std::string id;
  std::string target;
  std::string session;     // empty until attached
  std::string main_frame;  // the tab's top frame, which has the tab's id
  // The address of the document the top frame last committed, as the
  // browser's events told it.
  std::string url;
  std::vector<ChildFrame> children;
  std::vector<World> worlds;
  std::vector<Context> contexts;
  bool detached = false;       // its session has gone; set as the news is read
  std::optional<Point> mouse;  // where the host last put the mouse, in the tab's viewport
  bool windowed = false;       // given its window size and the focus, in this session
  bool focus_emulated = true;  // the focus is given to it

  const ChildFrame* child_by_frame(std::string_view frame) const;
  const ChildFrame* child_by_session(std::string_view session) const;
  // Whether context `id` of `session` still exists.
  bool has_context(std::string_view session, int64_t id) const;
  // Whether `frame` shows a document in `session` now.
  bool has_document(std::string_view session, std::string_view frame) const;
};

// "no such widget: ID", the id short and escaped: it may be a request's.
std::string no_such_widget(std::string_view id);

class WidgetTable {
 public:
  // Notes what an event tells about the widgets: a tab opened or closed, a
  // session gone, a frame of another process attached or detached, a
  // document replaced (which takes the host's page code in it along, and
  // gives the tab its address).
  void note(const Event& event);
  // Notes, the moment it is read, what an event tells about the script
  // contexts of the widgets' documents and the sessions that reach them, so
  // that a call's failure read after it is judged by it: a context made or
  // gone, a session's contexts cleared, a frame detached, a session of a
  // frame attached or gone. Whether the event is used up: the Runtime
  // domain's are, the page's console lines among them, which the host does
  // not keep.
  bool watch(const Event& event);

  // Takes the news that the host was attached to a tab, the moment it is
  // read, so that the tab's dialogs are known as its own from the start:
  // the tab's widget (a new one for a new tab) gets the session. The widget,
  // or null when the news is not of a tab or its widget has a session already.
  Widget* attached(const Event& event);

  // The widget `id` names, or the only one when it names none.
  std::expected<std::shared_ptr<Widget>, std::string> pick(const std::optional<std::string>& id) const;
  // Whether `widget` is still open.
  bool holds(const std::shared_ptr<Widget>& widget) const;
  bool empty() const { return widgets_.empty(); }
  // Takes a tab the host opened as the next widget, unless its event came first.
  void add_opened(std::string_view target);
  // The widget whose tab, or one of whose frames, `session` reaches; or
  // whose tab is `target`.
  Widget* owner_of(std::string_view session) const;
  Widget* by_target(std::string_view target) const;

  // The tab brought to the front last; empty once another may have come in front.
  const std::string& front() const { return front_; }
  void set_front(std::string target) { front_ = std::move(target); }

 private:
  void add(std::string id, std::string target);
  void note_browser_event(const Event& event);

  // Shared so that a tab closing in the middle of a command leaves the
  // command's own reference intact.
  std::vector<std::shared_ptr<Widget>> widgets_;
  unsigned next_widget_ = 1;
  std::string front_;
};

}  // namespace tessik::host
