// What pages do to the host that no command asked for: dialogs, windows that
// close, renderers that crash, navigations that turn into downloads, and
// answers read while a document is being replaced.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
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
  for (std::string revive : {"navigate", "reload"}) {
    SCOPED_TRACE(revive);
    prompt_ok({"navigate", page_url("index.html")});
    // The browser calls the navigation that crashed the page aborted.
    EXPECT_EQ(run({"navigate", "chrome://crash"}).status, 1);
    for (std::string command : {"title", "url", "text"}) {
      auto start = Clock::now();
      RunResult r = run({command});
      EXPECT_EQ(r.err, "tessik-browser: the page crashed\n") << command;
      EXPECT_LT(Clock::now() - start, kPrompt) << command;
    }
    if (revive == "navigate") {
      prompt_ok({"navigate", page_url("second.html")});
      EXPECT_EQ(prompt_ok({"title"}), "Second Page\n");
    } else {
      prompt_ok({"reload"});
      EXPECT_EQ(prompt_ok({"title"}), "Tessik Test Page\n");
    }
  }
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
