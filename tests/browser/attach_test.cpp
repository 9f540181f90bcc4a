// The host attached to a Chromium that the test starts itself, as a person
// starts their own browser with its debugging port open.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "browser/host_process.h"
#include "support/fake_endpoint.h"
#include "support/process.h"

namespace tessik {
namespace {

using namespace std::chrono_literals;
using testing::Host;
using testing::RunResult;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

std::string page(const std::string& name) { return testing::page_url(name); }

// A headless Chromium in a process group of its own, with its debugging port
// on a port the system picks and `first` as its one tab.
class OwnBrowser {
 public:
  OwnBrowser(const std::filesystem::path& profile, const std::string& first) {
    std::vector<std::string> args = {testing::real_browser,
                                     "--remote-debugging-port=0",
                                     "--user-data-dir=" + profile.string(),
                                     "--headless",
                                     "--no-sandbox",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     first};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setpgid(0, 0);
      int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::setpgid(pid_, pid_);  // either side may come first
    // The browser writes the file once its port is open.
    auto deadline = Clock::now() + 40s;
    while (Clock::now() < deadline) {
      std::string text = testing::read_file(profile / "DevToolsActivePort");
      size_t line = text.find('\n');
      if (line != std::string::npos && text.size() > line + 1) {
        port_ = std::stoi(text.substr(0, line));
        path_ = text.substr(line + 1);
        path_ = path_.substr(0, path_.find('\n'));
        break;
      }
      std::this_thread::sleep_for(50ms);
    }
  }
  ~OwnBrowser() { kill(); }

  int port() const { return port_; }
  const std::string& path() const { return path_; }

  // The body of the answer to `method target` on the debugging port.
  std::string http(const std::string& method, const std::string& target) const {
    int fd = testing::connect_loopback(port_);
    if (fd < 0) return "";
    timeval limit{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                          std::to_string(port_) + "\r\nConnection: close\r\n\r\n";
    (void)::send(fd, request.data(), request.size(), 0);
    // The browser keeps the connection open: the answer ends at its length.
    std::string answer;
    size_t body = std::string::npos;
    size_t length = 0;
    char buf[4096];
    while (body == std::string::npos || answer.size() < body + length) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      answer.append(buf, static_cast<size_t>(n));
      if (body == std::string::npos && (body = answer.find("\r\n\r\n")) != std::string::npos) {
        size_t at = answer.find("Content-Length:");
        length = at < body ? std::stoul(answer.substr(at + 15)) : 0;
        body += 4;
      }
    }
    ::close(fd);
    return body == std::string::npos ? "" : answer.substr(body);
  }

  // Waits until the browser lists a page titled `title`.
  bool shows(const std::string& title) const {
    auto deadline = Clock::now() + 30s;
    while (Clock::now() < deadline) {
      if (http("GET", "/json/list").find("\"title\": \"" + title + "\"") != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }

  // Whether the browser still runs: no exit waiting to be reaped.
  bool alive() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

  void kill() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string path_;
};

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Attach, AllCommandsWorkOnTheBrowsersOwnTabsWhichOutliveTheHost) {
  TempDir profile;
  TempDir home;
  OwnBrowser browser(profile.path(), page("index.html"));
  ASSERT_NE(browser.port(), 0) << "the browser wrote no DevToolsActivePort";
  // A second tab of its own, opened before the host comes.
  browser.http("PUT", "/json/new?" + page("second.html"));
  ASSERT_TRUE(browser.shows("Tessik Test Page") && browser.shows("Second Page"));
  Host host(home.path(), {"--attach", std::to_string(browser.port())});
  ASSERT_TRUE(testing::ready(host));
  auto ok = [&](const std::vector<std::string>& args) {
    return testing::client_output(home.path(), args);
  };

  std::string first = ok({"--widget", "1", "url"});
  std::string second = ok({"--widget", "2", "url"});
  EXPECT_EQ((std::set<std::string>{first, second}),
            (std::set<std::string>{page("index.html") + "\n", page("second.html") + "\n"}));
  std::string w = first == page("index.html") + "\n" ? "1" : "2";
  struct Step {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Step> steps = {
      {{"title"}, "Tessik Test Page\n"},
      {{"text", "#intro"}, "A page for the browser host's tests.\n"},
      {{"eval", "1 + 2"}, "3\n"},
      {{"click", "#go"}, ""},
      {{"text", "#status"}, "clicked 1\n"},
      {{"type", "#q", "abc"}, ""},
      {{"eval", "document.getElementById('q').value"}, "abc\n"},
      {{"navigate", page("second.html")}, ""},
      {{"title"}, "Second Page\n"},
      {{"back"}, ""},
      {{"title"}, "Tessik Test Page\n"},
      {{"forward"}, ""},
      {{"reload"}, ""},
      {{"url"}, page("second.html") + "\n"},
      {{"text"}, "You reached the second page.\n"},
  };
  for (const Step& step : steps) {
    std::vector<std::string> args = {"--widget", w};
    args.insert(args.end(), step.args.begin(), step.args.end());
    SCOPED_TRACE(step.args[0]);
    EXPECT_EQ(ok(args), step.out);
  }

  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(host.stderr_text(), "");
  EXPECT_FALSE(std::filesystem::exists(testing::state_path(home.path())));
  // Detached only: the browser and both its tabs are as the host left them.
  EXPECT_TRUE(browser.alive());
  std::string list = browser.http("GET", "/json/list");
  EXPECT_EQ(count(list, "\"type\": \"page\""), 2u) << list;
  EXPECT_EQ(count(list, "\"url\": \"" + page("second.html") + "\""), 2u) << list;
}

TEST(Attach, ByItsWebSocketUrlOrFoundThroughItsActivePortFile) {
  TempDir home;
  // Where Chromium keeps its profile on Linux, where `auto` looks.
  OwnBrowser browser(home.path() / ".config" / "chromium", page("index.html"));
  ASSERT_NE(browser.port(), 0) << "the browser wrote no DevToolsActivePort";
  ASSERT_TRUE(browser.shows("Tessik Test Page"));
  std::string port = std::to_string(browser.port());
  for (std::string endpoint : {"ws://127.0.0.1:" + port + browser.path(),
                               "ws://localhost:" + port + browser.path(), std::string("auto")}) {
    SCOPED_TRACE(endpoint);
    Host host(home.path(), {"--attach", endpoint}, {"XDG_CONFIG_HOME="});
    ASSERT_TRUE(testing::ready(host));
    EXPECT_EQ(testing::client_output(home.path(), {"title"}), "Tessik Test Page\n");
    EXPECT_EQ(host.stop(), 0);
    EXPECT_EQ(host.stderr_text(), "");
  }
  EXPECT_TRUE(browser.alive());
}

TEST(Attach, WhatCannotBeAttachedToIsRefusedWithOneLine) {
  TempDir home;
  std::string looked = (home.path() / ".config" / "chromium").string();
  struct Case {
    std::vector<std::string> args;
    std::string line;  // stderr begins with it
  };
  const std::vector<Case> cases = {
      {{"--attach", "ws://192.0.2.1:9222/devtools/browser/x"},
       "tessik-browser-host: refusing to attach to '192.0.2.1': the debugging protocol has no "
       "authentication, so only a browser on this machine's loopback interface may be driven\n"},
      {{"--attach", "ws://[2001:db8::1]:9222/devtools/browser/x"},
       "tessik-browser-host: refusing to attach to '2001:db8::1': the debugging protocol"},
      {{"--attach", "9222", "--chromium", "/usr/bin/chromium"},
       "tessik-browser-host: --chromium applies to a browser the host starts, not to one it "
       "attaches to\n"},
      {{"--browser-log", "--attach", "auto"},
       "tessik-browser-host: --browser-log applies to a browser the host starts"},
      {{"--attach", "9222", "--browser-arg", "--lang=de"},
       "tessik-browser-host: --browser-arg applies to a browser the host starts"},
      {{"--attach", "9222", "--profile", "/tmp"},
       "tessik-browser-host: --profile applies to a browser the host starts"},
      {{"--attach", "9222", "--headed"},
       "tessik-browser-host: --headed applies to a browser the host starts"},
      {{"--attach", "auto"}, "tessik-browser-host: found no running browser to attach to"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    Host host(home.path(), c.args, {"XDG_CONFIG_HOME="});
    EXPECT_EQ(host.wait_exit(20s), 1);
    std::string err = host.stderr_text();
    EXPECT_EQ(err.substr(0, c.line.size()), c.line);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(std::filesystem::exists(testing::state_path(home.path())));
  }
  // A search that finds nothing says where it looked.
  Host host(home.path(), {"--attach", "auto"}, {"XDG_CONFIG_HOME="});
  EXPECT_EQ(host.wait_exit(20s), 1);
  EXPECT_NE(host.stderr_text().find(looked), std::string::npos);
}

TEST(Attach, TheHostStopsWhenTheBrowserGoes) {
  TempDir profile;
  TempDir home;
  OwnBrowser browser(profile.path(), page("index.html"));
  ASSERT_NE(browser.port(), 0) << "the browser wrote no DevToolsActivePort";
  ASSERT_TRUE(browser.shows("Tessik Test Page"));
  Host host(home.path(), {"--attach", std::to_string(browser.port())});
  ASSERT_TRUE(testing::ready(host));
  EXPECT_EQ(testing::client_output(home.path(), {"title"}), "Tessik Test Page\n");

  RunResult result;
  std::thread client([&] {
    result = testing::run_client(home.path(), {"eval", "new Promise(() => {})"});
  });
  // Whether the script has reached the page or not, the command must fail the same way.
  std::this_thread::sleep_for(1s);
  browser.kill();
  client.join();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "tessik-browser: the browser has gone\n");
  EXPECT_EQ(host.wait_exit(15s), 1);
  EXPECT_EQ(host.stderr_text(), "tessik-browser-host: the browser has gone\n");
  EXPECT_FALSE(std::filesystem::exists(testing::state_path(home.path())));
}

}  // namespace
}  // namespace tessik
