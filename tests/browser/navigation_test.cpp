// How navigate, back, forward and reload end: with the new document's load,
// or at the navigation timeout with the load stopped, whatever the server
// or the page being left does meanwhile.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <unistd.h>
#include <vector>

#include "browser/host_process.h"
#include "browser/page_server.h"
#include "support/fake_endpoint.h"
#include "support/process.h"

namespace tessik {
namespace {

using testing::PageServer;
using testing::RunResult;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kNavigationMs = 2000;
// Room for a loaded machine beyond the limit a command keeps to.
constexpr auto kMargin = 1500ms;

class Navigations : public testing::SharedHostSuite<Navigations> {
 protected:
  static void SetUpTestSuite() {
    server_ = new PageServer();
    start_host({"--navigation-timeout", std::to_string(kNavigationMs)});
  }
  static void TearDownTestSuite() {
    stop_host();
    delete server_;
  }

  static inline PageServer* server_ = nullptr;
};

TEST_F(Navigations, EndWithTheNewDocumentOrAtTheTimeout) {
  // Takes connections and never answers them.
  uint16_t silent_port = 0;
  int silent = testing::listen_loopback(16, silent_port);
  ASSERT_GE(silent, 0);
  const std::string silent_url = "http://127.0.0.1:" + std::to_string(silent_port) + "/";
  auto at = [](const std::string& name) { return server_->url(name); };
  struct Row {
    std::vector<std::vector<std::string>> setup;
    std::vector<std::string> command;
    std::string err;  // without the program's name; empty for success
    std::string state_script;  // read back at once afterwards
    std::string state;
  };
  const std::vector<Row> rows = {
      // The load stops at the limit, and the tab answers at once.
      {{{"navigate", at("plain.html")}}, {"navigate", silent_url},
       "navigation to " + silent_url + " timed out after 2000 ms", "document.title", "Plain"},
      // The page being left changes its own address as it goes; the wait is
      // for the new document, which comes a second later.
      {{{"navigate", at("late/leave.html")}, {"eval", "window.mark = 1"}}, {"reload"}, "",
       "[typeof window.mark, document.readyState, location.search].join(' ')",
       "undefined complete "},
      {{{"navigate", at("late/second.html")}, {"navigate", at("leave.html")}}, {"back"}, "",
       "document.title + ' ' + document.readyState", "Second Page complete"},
      // A history entry of the document itself is reached within it.
      {{{"navigate", at("plain.html")}, {"eval", "history.pushState({}, '', '?pushed')"}},
       {"back"}, "", "location.search + '|' + document.title", "|Plain"},
      // Without a scheme, a loopback address gets http://.
      {{}, {"navigate", at("second.html").substr(7)}, "", "location.href", at("second.html")},
  };
  for (const Row& row : rows) {
    std::string name;
    for (const auto& word : row.command) name += " " + word;
    SCOPED_TRACE(name);
    for (const auto& step : row.setup) ASSERT_EQ(run(step).status, 0) << step[0];
    auto start = Clock::now();
    RunResult r = run(row.command);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kNavigationMs) + kMargin);
    EXPECT_EQ(r.err, row.err.empty() ? "" : "tessik-browser: " + row.err + "\n");
    EXPECT_EQ(r.status, row.err.empty() ? 0 : 1);
    start = Clock::now();
    EXPECT_EQ(ok({"eval", row.state_script}), row.state + "\n");
    EXPECT_LT(Clock::now() - start, kMargin);
  }
  ::close(silent);
}

}  // namespace
}  // namespace tessik
