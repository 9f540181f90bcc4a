// How click, type and text behave on pages made for each case: waiting for
// the element, refusing what cannot be done, and reaching into shadow roots
// and frames. The pages are served over HTTP from here, so that frames share
// the page's origin and one resource can be held back.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

#include "browser/host_process.h"
#include "browser/page_server.h"
#include "support/fake_endpoint.h"
#include "support/process.h"
#include "sys/fd.h"
#include "sys/rw.h"

namespace tessik {
namespace {

using testing::Host;
using testing::PageServer;
using testing::RunResult;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

// Short, so that a refusal costs the table little time.
constexpr int kActionMs = 2000;
// Pages with frames of other sites start processes of their own, which a
// loaded machine is slow to do; only one row waits it out.
constexpr int kNavigationMs = 8000;

class Actions : public testing::SharedHostSuite<Actions> {
 protected:
  static void SetUpTestSuite() {
    server_ = new PageServer();
    start_host({"--action-timeout", std::to_string(kActionMs), "--navigation-timeout",
                std::to_string(kNavigationMs)});
  }
  static void TearDownTestSuite() {
    stop_host();
    delete server_;
  }

  static inline PageServer* server_ = nullptr;
};

TEST_F(Actions, EachCaseActsOrSaysWhyNot) {
  struct Row {
    std::string page;
    std::vector<std::string> command;
    std::string out;
    std::string err;  // without the program's name; empty for success
    std::string state_script;  // read back afterwards through eval
    std::string state;
  };
  const std::string frame_state = "inner.contentDocument.getElementById('state').textContent";
  const std::string shadow_field = "card.shadowRoot.querySelector('input').value";
  // A frame of another origin tells its news by a message, which may come a
  // little after the command.
  const std::string cross_state =
      "state.textContent !== 'none' ? state.textContent : new Promise((r) => {"
      " addEventListener('message', () => r(state.textContent), {once: true});"
      " setTimeout(() => r(state.textContent), 2000); })";
  const std::vector<Row> rows = {
      // Waiting for the element, then for it to take the click.
      {"late.html", {"click", "#late"}, "", "", "state.textContent", "clicked"},
      {"late.html", {"text", "#note"}, "arrived\n", "", "state.textContent", "waiting"},
      // The element is on the page this one moves on to while the click waits.
      {"redirect.html", {"click", "#late"}, "", "", "state.textContent", "clicked"},
      {"enable.html", {"click", "#b"}, "", "", "state.textContent", "b"},
      {"overlay.html", {"click", "#b"}, "", "", "state.textContent", "b"},
      {"moving.html", {"click", "#m"}, "", "", "state.textContent", "m"},
      {"label.html", {"click", "#agree"}, "", "", "agree.checked", "true"},
      // Refusals name the first unmet condition.
      {"late.html", {"click", "#never"}, "", "no element matches selector: #never",
       "state.textContent", "waiting"},
      {"enable.html", {"click", "#never"}, "", "element is disabled: #never", "state.textContent",
       "none"},
      {"enable.html", {"click", "#f"}, "", "element is disabled: #f", "state.textContent", "none"},
      {"enable.html", {"type", "#fi", "x"}, "", "element is disabled: #fi", "fi.value", "kept"},
      {"overlay.html", {"click", "#stuck"}, "", "element is covered by div#cover: #stuck",
       "state.textContent", "none"},
      // Covered only once the pointer comes: the page sees no press at all.
      {"hover.html", {"click", "#b"}, "", "element is covered by div#tip: #b", "state.textContent",
       "none"},
      // Once the press has reached the element, the click is done, whatever
      // its handlers do to the element.
      {"hover.html", {"click", "#f"}, "", "", "state.textContent", "pressed"},
      {"press.html", {"click", "#gone-down"}, "", "", "state.textContent", "down"},
      {"press.html", {"click", "#gone-up"}, "", "", "state.textContent", "up"},
      // The events a real mouse gives: type, pressure, buttons held, click count.
      {"press.html", {"click", "#probe"}, "", "", "state.textContent",
       "pointerdown mouse 0.5 1 0, mousedown - - 1 1, pointerup mouse 0 0 0, mouseup - - 0 1, "
       "click mouse 0 0 1"},
      // A part of a control acts as the control; a label as its field.
      {"retarget.html", {"click", "#b-label"}, "", "", "state.textContent", "b"},
      {"retarget.html", {"click", "#l-label"}, "", "", "state.textContent", "l"},
      {"retarget.html", {"click", "#rb-label"}, "", "", "state.textContent", "rb"},
      {"retarget.html", {"click", "label[for=terms]"}, "", "", "terms.checked", "true"},
      {"retarget.html", {"type", "#who-label", "Ada"}, "", "", "who.value", "Ada"},
      {"retarget.html", {"click", "#xb button"}, "", "", "state.textContent", "xb"},
      {"enable.html", {"click", "#off-label"}, "", "element is disabled: #off-label",
       "state.textContent", "none"},
      {"enable.html", {"click", "#aria"}, "", "element is disabled: #aria", "state.textContent",
       "none"},
      {"enable.html", {"click", "#in-group"}, "", "element is disabled: #in-group",
       "state.textContent", "none"},
      // Pressed where it is drawn: the first line of a wrapped link, the
      // boxes of an element that has none itself, a frame turned and scaled.
      {"points.html", {"click", "#wrap"}, "", "", "state.textContent", "wrap"},
      {"points.html", {"click", "#dc"}, "", "", "state.textContent", "dc"},
      {"frame.html?tilted", {"click", "#fb"}, "", "", frame_state, "fb"},
      // Scrolled to first, by its text or its child.
      {"contents.html", {"click", "#text-only"}, "", "", "state.textContent", "text-only"},
      {"contents.html", {"click", "#with-child"}, "", "", "state.textContent", "with-child"},
      // Scrolled into view within its own box; from under a fixed header.
      {"scroll.html", {"click", "#deep"}, "", "", "state.textContent + ' ' + (box.scrollTop > 0)",
       "deep true"},
      {"header.html", {"click", "#under"}, "", "", "state.textContent", "under"},
      {"motion.html", {"click", "#hop"}, "", "element is not stable: #hop", "state.textContent",
       "none"},
      // The page's own globals and prototypes do not reach the host's code.
      {"hostile.html", {"click", "#b"}, "", "", "state.textContent", "b"},
      {"hostile.html", {"type", "#field", "new"}, "", "", "field.value", "new"},
      {"label.html", {"click", "#hidden"}, "", "element is not visible: #hidden",
       "document.activeElement === document.body", "true"},
      {"label.html", {"click", "#vh"}, "", "element is not visible: #vh",
       "document.activeElement === document.body", "true"},
      // type replaces what the field holds, through input events.
      {"fields.html", {"type", "#ci", "new"}, "", "", "state.ci + '|' + ci.value", "new|new"},
      {"fields.html", {"type", "#ci", ""}, "", "", "state.ci + '|' + ci.value", "|"},
      {"fields.html", {"type", "#ta", "new text"}, "", "", "ta.value + '|' + inputs",
       "new text|ta:insertText"},
      {"fields.html", {"type", "#ta", ""}, "", "", "ta.value + '|' + inputs",
       "|ta:deleteContentBackward"},
      {"fields.html", {"type", "#ce", "new words"}, "", "", "ce.textContent + '|' + inputs",
       "new words|ce:insertText"},
      {"fields.html", {"type", "#num", "34"}, "", "", "num.value", "34"},
      {"fields.html", {"type", "#num", "abc"}, "", "malformed value for a number field: \"abc\"",
       "num.value", "12"},
      // The type the browser gives the field decides, not its attribute.
      {"fields.html", {"type", "#odd", "abc"}, "", "", "odd.value", "abc"},
      // Fields with a value format of their own take it as it is, with
      // input and change events, and refuse what they would not keep.
      {"fields.html", {"type", "#date", "2020-03-02"}, "", "", "date.value + '|' + events",
       "2020-03-02|date:input,date:change"},
      {"fields.html", {"type", "#time", "13:15"}, "", "", "time.value + '|' + events",
       "13:15|time:input,time:change"},
      {"fields.html", {"type", "#month", "2020-03"}, "", "", "month.value + '|' + events",
       "2020-03|month:input,month:change"},
      {"fields.html", {"type", "#week", "2020-W10"}, "", "", "week.value + '|' + events",
       "2020-W10|week:input,week:change"},
      {"fields.html", {"type", "#local", "2020-03-02T13:15"}, "", "", "local.value + '|' + events",
       "2020-03-02T13:15|local:input,local:change"},
      {"fields.html", {"type", "#color", "#aabbcc"}, "", "", "color.value + '|' + events",
       "#aabbcc|color:input,color:change"},
      {"fields.html", {"type", "#color", "#AbCd00"}, "", "", "color.value + '|' + events",
       "#abcd00|color:input,color:change"},
      {"fields.html", {"type", "#color", "#abc"}, "", "malformed value for a color field: \"#abc\"",
       "color.value + '|' + events", "#000000|"},
      {"fields.html", {"type", "#range", "42"}, "", "", "range.value + '|' + events",
       "42|range:input,range:change"},
      {"fields.html", {"type", "#date", "02/03/2020"}, "",
       "malformed value for a date field: \"02/03/2020\"", "date.value + '|' + events",
       "2001-01-01|"},
      {"fields.html", {"type", "#range", "420"}, "", "malformed value for a range field: \"420\"",
       "range.value + '|' + events", "10|"},
      {"fields.html", {"type", "#ro", "x"}, "", "element is read-only: #ro", "ro.value", "fixed"},
      {"fields.html", {"type", "#para", "x"}, "", "element cannot take text: #para",
       "para.textContent", "Just text"},
      {"fields.html", {"type", "#box", "x"}, "", "element cannot take text: #box", "box.checked",
       "false"},
      // Open shadow roots and same-origin frames are searched; closed roots are not.
      {"shadow.html", {"click", "#inner"}, "", "", "state.textContent", "inner"},
      {"shadow.html", {"type", "#field", "new"}, "", "", shadow_field, "new"},
      // A descendant combinator reaches through the shadow host.
      {"shadow.html", {"click", "#card div > button"}, "", "", "state.textContent", "inner"},
      {"shadow.html", {"click", "body  x-card[id=\"card\"] button"}, "", "", "state.textContent",
       "inner"},
      {"shadow.html", {"text", "#inner"}, "Inside\n", "", "state.textContent", "none"},
      // Whitespace around a selector changes nothing, in a shadow root too.
      {"shadow.html", {"click", "x-card button "}, "", "", "state.textContent", "inner"},
      {"shadow.html", {"click", "#closed-inner"}, "", "no element matches selector: #closed-inner",
       "state.textContent", "none"},
      {"frame.html", {"click", "#fb"}, "", "", frame_state, "fb"},
      {"frame.html", {"type", "#fi", "new"}, "", "",
       "inner.contentDocument.getElementById('fi').value", "new"},
      // Frames of another origin, after those of the page's own, in document
      // order; placed by their frame's offset and transform.
      {"cross.html", {"click", "#only-far"}, "", "", cross_state, "far:mine"},
      {"cross.html", {"click", "#only-tilted"}, "", "", cross_state, "tilted:mine"},
      {"cross.html", {"type", "#in-far", "hello"}, "", "", cross_state, "far:hello"},
      {"cross.html", {"text", "#only-far"}, "This frame's own\n", "", "state.textContent", "none"},
      {"cross.html", {"click", ".both"}, "", "", cross_state, "same:both"},
      {"cross.html", {"click", ".other"}, "", "", cross_state, "tilted:other"},
      {"cross.html", {"click", "#only-veiled"}, "", "element is covered by div#veil: #only-veiled",
       "state.textContent", "none"},
      // A click waits for the next document's DOMContentLoaded, not its load.
      {"links.html", {"click", "#slow"}, "", "", "document.title + ' ' + document.readyState",
       "Slow interactive"},
      {"links.html", {"click", "#fast"}, "", "", "document.title", "Second Page"},
      {"links.html", {"click", "#hash"}, "", "", "location.hash + ' ' + document.title",
       "#part Links"},
      {"links.html", {"click", "#noop"}, "", "", "location.pathname", "/links.html"},
      // A link that runs a script leads to no page to wait for.
      {"press.html", {"click", "#js"}, "", "", "state.textContent", "js"},
      {"index.html", {"type", "#q", "hello", "--submit"}, "", "", "document.title",
       "Results for hello"},
      // navigate waits for the load event, which the held image never lets
      // come; at the timeout the load is stopped, the image with it.
      {"links.html", {"navigate", "slow.html"}, "",
       "navigation to slow.html timed out after " + std::to_string(kNavigationMs) + " ms",
       "document.title + ' ' + document.readyState", "Slow complete"},
  };
  for (const Row& row : rows) {
    std::vector<std::string> command = row.command;
    std::string err = row.err;
    if (command[0] == "navigate") {
      command[1] = server_->url(command[1]);
      if (err.starts_with("navigation to ")) err.replace(14, row.command[1].size(), command[1]);
    }
    std::string name = row.page;
    for (const auto& word : command) name += " " + word;
    SCOPED_TRACE(name);
    ASSERT_EQ(ok({"navigate", server_->url(row.page)}), "");
    RunResult r = run(command);
    EXPECT_EQ(r.out, row.out);
    EXPECT_EQ(r.err, err.empty() ? "" : "tessik-browser: " + err + "\n");
    EXPECT_EQ(r.status, err.empty() ? 0 : 1);
    EXPECT_EQ(ok({"eval", row.state_script}), row.state + "\n");
  }
}

// Text is what a person sees, components' shadow trees included: the same
// as the browser's own innerText of the same content written out flat.
TEST_F(Actions, TextShowsWhatComponentsDraw) {
  ASSERT_EQ(ok({"navigate", server_->url("components.html")}), "");
  const std::string shown = "Things to do\n Buy milk\n Walk the dog\n2 items left\n";
  EXPECT_EQ(ok({"text", "#flat"}), shown);
  EXPECT_EQ(ok({"text", "#app"}), shown);
  EXPECT_EQ(ok({"text", "todo-item[done]"}), " Buy milk\n");
  EXPECT_EQ(ok({"text"}), shown + shown);
}

// A click waits out a transition, however often it starts again.
TEST_F(Actions, NoClickLandsMidTransition) {
  ASSERT_EQ(ok({"navigate", server_->url("motion.html")}), "");
  for (int i = 0; i < 20; ++i) ASSERT_EQ(ok({"click", "#slide"}), "") << "click " << i;
  EXPECT_EQ(ok({"eval", "state.textContent"}), "20 clicks, 0 moving\n");
}

// Frames of another site inside frames of another site are searched like
// the first level, however deep.
TEST_F(Actions, FramesAtAnyDepthAreSearched) {
  for (int depth : {1, 2, 3, 5, 10}) {
    SCOPED_TRACE("depth " + std::to_string(depth));
    // The deepest frames may still be loading when the navigation gives up
    // waiting; the look for the element waits for them.
    (void)run({"navigate", server_->url("nest.html?depth=" + std::to_string(depth))});
    RunResult r;
    for (int look = 0; look < 3 && r.status != 0; ++look) r = run({"text", "#deep"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "deep " + std::to_string(depth) + "\n");
  }
}

// Enter comes once the page has run a task and drawn a frame after the
// text, as a person's would: a model copied from the field in a later task
// holds the text when the form is submitted.
TEST_F(Actions, SubmitComesAfterThePageHasSeenTheText) {
  ASSERT_EQ(ok({"navigate", server_->url("model.html")}), "");
  std::string expected;
  for (int i = 0; i < 50; ++i) {
    std::string text = "value " + std::to_string(i);
    ASSERT_EQ(ok({"type", "#field", text, "--submit"}), "") << text;
    expected += (i ? "|" : "") + text;
  }
  EXPECT_EQ(ok({"eval", "submitted.join('|')"}), expected + "\n");
}

TEST_F(Actions, WindowsThePageOpensAreWidgetsUntilClosed) {
  const std::string loaded_title =
      "new Promise(r => document.readyState === 'complete' ? r(document.title)"
      " : addEventListener('load', () => r(document.title)))";
  ok({"navigate", server_->url("links.html")});
  EXPECT_EQ(ok({"click", "#open"}), "");
  EXPECT_EQ(ok({"--widget", "2", "eval", loaded_title}), "Plain\n");
  RunResult unnamed = run({"text", "#state"});
  EXPECT_EQ(unnamed.err,
            "tessik-browser: more than one widget is open, name one with --widget: 1, 2\n");
  EXPECT_EQ(unnamed.status, 1);
  EXPECT_EQ(ok({"--widget", "1", "click", "#away"}), "");
  EXPECT_EQ(ok({"--widget", "3", "eval", loaded_title}), "Second Page\n");
  // The new tab goes in front of its opener, which, with the focus every
  // tab has, stays visible; a click on it brings it to the front all the
  // same, and goes at once.
  EXPECT_EQ(ok({"--widget", "1", "eval", "document.visibilityState"}), "visible\n");
  auto start = Clock::now();
  EXPECT_EQ(ok({"--widget", "1", "click", "#noop"}), "");
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kActionMs * 3 / 4));
  EXPECT_EQ(ok({"--widget", "1", "eval", "document.visibilityState"}), "visible\n");
  EXPECT_EQ(ok({"--widget", "1", "click", "#fast"}), "");
  EXPECT_EQ(ok({"--widget", "1", "title"}), "Second Page\n");
  for (std::string id : {"2", "3"}) EXPECT_EQ(ok({"--widget", id, "eval", "window.close()"}), "");
  // A window closes a little after the script that closed it returned.
  ok({"--widget", "1", "eval", "new Promise(r => setTimeout(r, 500))"});
  EXPECT_EQ(ok({"title"}), "Second Page\n");
}

}  // namespace
}  // namespace tessik
