// What pages do to the host that no command asked for: dialogs, windows that
// close, renderers that crash, navigations that turn into downloads, and
// answers read while a document is being replaced.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "browser/host_process.h"
#include "browser/page_server.h"
#include "support/process.h"

namespace tessik {
namespace {

using testing::RunResult;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testing::page_url;

// Far below the 30 s that a command waiting on a wedged page took.
constexpr auto kPrompt = 5s;

class PageEvents : public testing::SharedHostSuite<PageEvents> {
 protected:
  static void SetUpTestSuite() { start_host({"--action-timeout", "2000"}); }
  static void TearDownTestSuite() { stop_host(); }

  // Runs a command that must end well and quickly.
  static std::string prompt_ok(const std::vector<std::string>& args) {
    auto start = Clock::now();
    std::string out = ok(args);
    EXPECT_LT(Clock::now() - start, kPrompt) << args[0];
    return out;
  }
};

TEST_F(PageEvents, DialogsAreAnsweredAtOnce) {
  prompt_ok({"navigate", page_url("dialog.html")});
  struct Row {
    std::vector<std::string> command;
    std::string out;
  };
  const std::vector<Row> rows = {
      // Alerts are accepted, confirms and prompts dismissed, as the page
      // would see from a user who closes each one.
      {{"eval", "alert('hello'); 5"}, "5\n"},
      {{"eval", "confirm('sure?')"}, "false\n"},
      {{"eval", "String(prompt('name?', 'x'))"}, "null\n"},
      {{"click", "#alerting"}, ""},
      {{"eval", "state.textContent"}, "after alert\n"},
      {{"title"}, "Dialogs\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.command.back());
    EXPECT_EQ(prompt_ok(row.command), row.out);
  }
  EXPECT_EQ(host_->stderr_text(),
            "tessik-browser-host: widget 1: alert \"hello\" accepted\n"
            "tessik-browser-host: widget 1: confirm \"sure?\" dismissed\n"
            "tessik-browser-host: widget 1: prompt \"name?\" dismissed\n"
            "tessik-browser-host: widget 1: alert \"from a click\" accepted\n");
}

TEST_F(PageEvents, APageThatAsksBeforeItIsLeftIsLeft) {
  prompt_ok({"navigate", page_url("dialog.html")});
  prompt_ok({"click", "#arm"});
  EXPECT_EQ(prompt_ok({"eval", "state.textContent"}), "armed\n");
  prompt_ok({"navigate", page_url("index.html")});
  EXPECT_EQ(prompt_ok({"title"}), "Tessik Test Page\n");
  EXPECT_EQ(host_->stderr_text(), "tessik-browser-host: widget 1: beforeunload \"\" accepted\n");
}

TEST_F(PageEvents, ACrashedPageFailsAtOnceUntilLoadedAgain) {
  struct Row {
    std::string name;
    std::vector<std::string> pages;  // loaded before the crash, the last one shown
    bool back_first = false;         // and gone back from before it
    int crashes = 1;                 // in a row
    std::vector<std::string> revive;
    std::string title;
  };
  const std::vector<Row> rows = {
      {"navigate", {"index.html"}, false, 1, {"navigate", page_url("second.html")}, "Second Page"},
      {"reload", {"index.html"}, false, 1, {"reload"}, "Tessik Test Page"},
      {"back", {"index.html", "second.html"}, false, 1, {"back"}, "Tessik Test Page"},
      {"forward", {"index.html", "second.html"}, true, 1, {"forward"}, "Second Page"},
      {"a second crash", {"index.html"}, false, 2, {"reload"}, "Tessik Test Page"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const std::string& page : row.pages) prompt_ok({"navigate", page_url(page)});
    if (row.back_first) prompt_ok({"back"});
    for (int crash = 0; crash < row.crashes; ++crash) {
      // The browser calls the navigation that crashed the page aborted.
      EXPECT_EQ(run({"navigate", "chrome://crash"}).status, 1);
      for (std::string command : {"title", "url", "text"}) {
        auto start = Clock::now();
        RunResult r = run({command});
        EXPECT_EQ(r.err, "tessik-browser: the page crashed\n") << command << " after crash " << crash;
        EXPECT_LT(Clock::now() - start, kPrompt) << command << " after crash " << crash;
      }
    }
    prompt_ok(row.revive);
    EXPECT_EQ(prompt_ok({"title"}), row.title + "\n");
    EXPECT_EQ(prompt_ok({"eval", "document.title"}), row.title + "\n");
  }
}

// The address comes from what the browser said when the document committed,
// so a page busy with a long script answers at once.
TEST_F(PageEvents, TheUrlOfABusyPageComesAtOnce) {
  prompt_ok({"navigate", page_url("index.html")});
  prompt_ok({"eval", "setTimeout(() => { const end = Date.now() + 8000; while (Date.now() < end); }); 1"});
  std::this_thread::sleep_for(200ms);  // the script has begun
  auto start = Clock::now();
  EXPECT_EQ(ok({"url"}), page_url("index.html") + "\n");
  EXPECT_LT(Clock::now() - start, 2s);
  // Once it has run, the tab answers everything again.
  EXPECT_EQ(ok({"title"}), "Tessik Test Page\n");
}

TEST_F(PageEvents, ANavigationThatBecomesADownloadSucceeds) {
  testing::TempDir folder;
  const std::filesystem::path file = folder.path() / "data.bin";
  std::ofstream(file) << std::string(1000, '\x01');
  prompt_ok({"navigate", page_url("index.html")});
  EXPECT_EQ(prompt_ok({"navigate", "file://" + file.string()}), "");
  // The page stays as it was.
  EXPECT_EQ(prompt_ok({"title"}), "Tessik Test Page\n");
}

// Each answer is read from the document the last navigation committed, never
// from one still on its way in or out. Over HTTP, where the browser keeps
// pages for going back, and their events come in another order.
TEST_F(PageEvents, AnswersAreTheDocumentsOwn) {
  testing::PageServer server;
  int wrong = 0;
  for (int round = 0; round < 40; ++round) {
    ok({"navigate", server.url("index.html")});
    ok({"navigate", server.url("second.html")});
    ok({"back"});
    ok({"reload"});
    std::string url = ok({"url"}), title = ok({"title"});
    if (url != server.url("index.html") + "\n" || title != "Tessik Test Page\n") {
      ++wrong;
      ADD_FAILURE() << "round " << round << ": url " << url << " title " << title;
    }
    ok({"forward"});
    if (ok({"title"}) != "Second Page\n") ++wrong;
  }
  EXPECT_EQ(wrong, 0);
}

// With a host of its own: each row leaves a second widget for a moment.
// Dialogs of a tab that no command has named are answered as they open, so
// a window that alerts while it loads holds up neither itself nor its
// opener, which shares its process when it is of the same site.
TEST(PageWindows, AWindowThatAlertsWhileItLoadsWedgesNothing) {
  testing::PageServer server;
  testing::TempDir home;
  testing::Host host(home.path());
  ASSERT_TRUE(testing::ready(host));
  auto prompt = [&](const std::vector<std::string>& args) {
    auto start = Clock::now();
    RunResult r = testing::run_client(home.path(), args);
    EXPECT_LT(Clock::now() - start, kPrompt) << args.back();
    EXPECT_EQ(r.err, "") << args.back();
    return r.out;
  };
  const std::string same = server.url("alerting.html");
  const std::string other = "http://localhost:" + same.substr(same.rfind(':') + 1);
  const std::string opener = server.url("index.html");
  struct Row {
    std::string name;
    std::string window;
    std::string widget;
  };
  const std::vector<Row> rows = {{"same site", same, "2"}, {"another site", other, "3"}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    prompt({"navigate", opener});
    EXPECT_EQ(prompt({"eval", "window.open('" + row.window + "'); 1"}), "1\n");
    EXPECT_EQ(prompt({"--widget", row.widget, "eval",
                      "new Promise(r => document.readyState === 'complete' ? r(document.title)"
                      " : addEventListener('load', () => r(document.title)))"}),
              "Alerting\n");
    EXPECT_EQ(prompt({"--widget", "1", "title"}), "Tessik Test Page\n");
    EXPECT_EQ(prompt({"--widget", row.widget, "url"}), row.window + "\n");
    EXPECT_EQ(prompt({"--widget", row.widget, "eval", "window.close()"}), "");
    // The window goes a little after the script that closed it returned.
    for (auto until = Clock::now() + kPrompt; Clock::now() < until;) {
      if (testing::run_client(home.path(), {"title"}).status == 0) break;
      std::this_thread::sleep_for(100ms);
    }
  }
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(host.stderr_text(),
            "tessik-browser-host: widget 2: alert \"while loading\" accepted\n"
            "tessik-browser-host: widget 3: alert \"while loading\" accepted\n");
}

// With its own host: only a tab whose history holds one entry may close itself.
TEST(PageWindows, ClosingTheLastWindowLeavesAFreshOne) {
  testing::TempDir home;
  testing::Host host(home.path());
  ASSERT_TRUE(testing::ready(host));
  auto client = [&](const std::vector<std::string>& args) {
    return testing::run_client(home.path(), args);
  };
  EXPECT_EQ(client({"eval", "window.close()"}).status, 0);
  // The next command finds the fresh tab, whichever moment the old one goes.
  auto start = Clock::now();
  RunResult url;
  do {
    url = client({"--widget", "1", "url"});
  } while (url.status == 0 && Clock::now() - start < kPrompt);
  EXPECT_EQ(url.err, "tessik-browser: no such widget: 1\n");
  RunResult fresh = client({"url"});
  EXPECT_EQ(fresh.out, "about:blank\n");
  EXPECT_EQ(fresh.status, 0) << fresh.err;
  EXPECT_EQ(client({"--widget", "2", "navigate", page_url("index.html")}).status, 0);
  EXPECT_EQ(client({"title"}).out, "Tessik Test Page\n");
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(host.stderr_text(), "");
}

}  // namespace
}  // namespace tessik
