// The real tessik-browser client against the real tessik-browser-host and a
// headless Chromium, on the pages beside this file.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "browser/host_process.h"
#include "host/chromium.h"
#include "support/fake_endpoint.h"
#include "support/process.h"

namespace tessik {
namespace {

using testing::Host;
using testing::read_file;
using testing::RunResult;
using testing::TempDir;
using Clock = std::chrono::steady_clock;

std::string page(const std::string& name) { return testing::page_url(name); }

// A connection to 127.0.0.1:port.
int connect_to(int port) {
  int fd = testing::connect_loopback(port);
  if (fd < 0) throw std::runtime_error("connect failed");
  timeval limit{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Sends `request` whole and reads the reply to the end of the stream.
std::string exchange(int port, const std::string& request) {
  int fd = connect_to(port);
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, 0);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return reply;
}

std::string post(const std::string& token, const std::string& body,
                 const std::string& head_line = "POST /v1/exec HTTP/1.1") {
  return head_line + "\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// `request` as made by post(), with `host` as its Host header's value.
std::string with_host(const std::string& request, const std::string& host) {
  const std::string sent = "\r\nHost: 127.0.0.1\r\n";
  size_t at = request.find(sent);
  return request.substr(0, at) + "\r\nHost: " + host + "\r\n" + request.substr(at + sent.size());
}

std::string status_line(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

std::string body_of(const std::string& reply) {
  size_t split = reply.find("\r\n\r\n");
  return split == std::string::npos ? "" : reply.substr(split + 4);
}

// One host for all the command tests: starting Chromium is the slow part.
class BrowserCommands : public testing::SharedHostSuite<BrowserCommands> {
 protected:
  // Missing elements are waited for; a short wait keeps the suite quick.
  static void SetUpTestSuite() { start_host({"--action-timeout", "1000"}); }
  static void TearDownTestSuite() { stop_host(); }
  static std::string token() { return testing::announced_token(home_->path()); }
};

TEST_F(BrowserCommands, ReadCommandsShowThePage) {
  struct Case {
    std::string page;
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"index.html", {"url"}, page("index.html") + "\n"},
      {"index.html", {"title"}, "Tessik Test Page\n"},
      {"index.html", {"text", "#intro"}, "A page for the browser host's tests.\n"},
      {"second.html", {"text", "main"}, "You reached the second page.\n"},
      // Visible text only: the hidden paragraph stays out.
      {"plain.html", {"text"}, "One\n\nTwo & three\n"},
      {"plain.html", {"title"}, "Plain\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.page + " " + c.args[0]);
    EXPECT_EQ(ok({"navigate", page(c.page)}), "");
    EXPECT_EQ(ok(c.args), c.out);
  }
}

TEST_F(BrowserCommands, EvalPrintsTheValueByItsKind) {
  ok({"navigate", page("index.html")});
  struct Case {
    std::string script;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"1 + 2", "3\n"},
      {"0.5 * 3", "1.5\n"},
      {"'tab' + 'le'", "table\n"},
      {"document.title", "Tessik Test Page\n"},
      {"[1, 'x', null]", "[\n  1,\n  \"x\",\n  null\n]\n"},
      {"({b: [true, {}], a: 'z'})", "{\n  \"a\": \"z\",\n  \"b\": [\n    true,\n    {}\n  ]\n}\n"},
      {"Promise.resolve(42)", "42\n"},
      {"new Promise(r => setTimeout(() => r('later'), 50))", "later\n"},
      {"undefined", ""},
      {"null", ""},
      {"NaN", "NaN\n"},
      {"-0", "-0.0\n"},
      {"2n ** 70n", "1180591620717411303424n\n"},
      {"typeof window", "object\n"},
      // Other values are what JSON.stringify gives in the page, toJSON
      // included, with a form of their own for what JSON would lose.
      {"new DOMRect(1, 2, 3, 4)",
       "{\n  \"bottom\": 6,\n  \"height\": 4,\n  \"left\": 1,\n  \"right\": 4,\n  \"top\": 2,\n"
       "  \"width\": 3,\n  \"x\": 1,\n  \"y\": 2\n}\n"},
      {"new Date(0)", "1970-01-01T00:00:00.000Z\n"},
      {"({when: [new Date(0)]})", "{\n  \"when\": [\n    \"1970-01-01T00:00:00.000Z\"\n  ]\n}\n"},
      {"new URL('http://a.test/b?c')", "http://a.test/b?c\n"},
      {"new Map([['a', 1]])", "[\n  [\n    \"a\",\n    1\n  ]\n]\n"},
      {"new Set(['s'])", "[\n  \"s\"\n]\n"},
      {"document.getElementById('intro')", "p#intro\n"},
      {"document.querySelectorAll('p')", "[\n  \"p#intro\",\n  \"p#status\",\n  \"p\"\n]\n"},
      {"document.getElementsByTagName('h1')", "[\n  \"h1\"\n]\n"},
      {"[Symbol('s'), () => 1, 3n]", "[\n  null,\n  null,\n  \"3n\"\n]\n"},
      {"({u: undefined, n: NaN})", "{\n  \"n\": null\n}\n"},
      {"() => 1", ""},
      // The page's own JSON is not what computes it.
      {"window.JSON = null; ({abc: 123})", "{\n  \"abc\": 123\n}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    EXPECT_EQ(ok({"eval", c.script}), c.out);
  }
  // Objects whose fields come from toJSON, nested.
  std::string timing = ok({"eval", "performance"});
  EXPECT_NE(timing.find("\n  \"timeOrigin\": "), std::string::npos) << timing;
  EXPECT_NE(timing.find("\n    \"navigationStart\": "), std::string::npos) << timing;
}

// A string cut inside a character pair leaves half of it, which has no
// UTF-8 form: each such half comes out as U+FFFD, whichever command reads it.
TEST_F(BrowserCommands, HalvesOfCharacterPairsReadAsReplacementCharacters) {
  ok({"navigate", page("index.html")});
  const std::string fffd = "\xEF\xBF\xBD";
  ok({"eval", "document.title = 'cut ' + '\xF0\x9F\x98\x80'.slice(0, 1);"
              "document.getElementById('intro').textContent = '\\uDE00 and \\uD83D\\uD83D\\uDE00'"});
  struct Case {
    std::vector<std::string> args;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"title"}, "cut " + fffd + "\n"},
      {{"text", "#intro"}, fffd + " and " + fffd + "\xF0\x9F\x98\x80\n"},
      {{"eval", "'a\\uDC00b'"}, "a" + fffd + "b\n"},
      {{"eval", "['\\uD800']"}, "[\n  \"" + fffd + "\"\n]\n"},
      {{"eval", "({['\\uDBFF']: 1})"}, "{\n  \"" + fffd + "\": 1\n}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(ok(c.args), c.out);
  }
}

// The client reads 127 levels, its envelope ({"data"}) and a script's outcome
// ({"ok","value"}) among them: 125 are left for the value.
TEST_F(BrowserCommands, ResultsNestedTooDeepForTheClientAreRefused) {
  auto nested = [](int levels) {
    return "(() => { let v = 1; for (let i = 0; i < " + std::to_string(levels) +
           "; i++) v = [v]; return v; })()";
  };
  std::string deepest;  // 125 arrays around 1, printed pretty
  for (int i = 0; i < 125; ++i) deepest += std::string(2 * i, ' ') + "[\n";
  deepest += std::string(250, ' ') + "1\n";
  for (int i = 124; i >= 0; --i) deepest += std::string(2 * i, ' ') + "]\n";
  EXPECT_EQ(ok({"eval", nested(125)}), deepest);

  const std::string too_deep =
      "tessik-browser: the result is nested too deeply: a result may nest arrays and objects 125 "
      "levels deep at most\n";
  // 126 levels, the same in an object, and deeper than the browser can send.
  for (std::string script : {nested(126), "({a: " + nested(125) + "})", nested(400)}) {
    SCOPED_TRACE(script);
    RunResult r = run({"eval", script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, too_deep);
  }
}

TEST_F(BrowserCommands, EvalFailuresCarryTheExceptionText) {
  ok({"navigate", page("index.html")});
  struct Case {
    std::string script;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"x.y", "ReferenceError: x is not defined"},
      {"throw new TypeError('bad thing')", "TypeError: bad thing"},
      {"Promise.reject(new RangeError('later'))", "RangeError: later"},
      {"throw 'plain words'", "plain words"},
      {"(async () => { await 0; missing(); })()", "ReferenceError: missing is not defined"},
      {"1 +", "SyntaxError: Unexpected end of input"},
      // The window refers to itself, and JSON has no form for that.
      {"window", "the result holds a cycle"},
      {"(() => { const a = {}; a.b = {a}; return [a]; })()", "the result holds a cycle"},
      {"({toJSON() { throw new Error('no form'); }})", "Error: no form"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.script);
    RunResult r = run({"eval", c.script});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tessik-browser: " + c.err + "\n");
  }
}

TEST_F(BrowserCommands, MissingElementsAreReported) {
  ok({"navigate", page("index.html")});
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{"text", "#nowhere"}, "no element matches selector: #nowhere"},
      {{"click", "button.none"}, "no element matches selector: button.none"},
      {{"type", "#absent", "words"}, "no element matches selector: #absent"},
      {{"text", "p["},
       "SyntaxError: Failed to execute 'querySelector' on 'Document': 'p[' is not a valid selector."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tessik-browser: " + c.err + "\n");
  }
}

TEST_F(BrowserCommands, ClickRunsThePagesHandlers) {
  ok({"navigate", page("index.html")});
  EXPECT_EQ(ok({"text", "#status"}), "idle\n");
  EXPECT_EQ(ok({"click", "#go"}), "");
  EXPECT_EQ(ok({"click", "#go"}), "");
  EXPECT_EQ(ok({"text", "#status"}), "clicked 2\n");
}

TEST_F(BrowserCommands, ClickOnALinkWaitsForTheNextPage) {
  ok({"navigate", page("index.html")});
  EXPECT_EQ(ok({"click", "#next"}), "");
  EXPECT_EQ(ok({"title"}), "Second Page\n");
  EXPECT_EQ(ok({"url"}), page("second.html") + "\n");
}

TEST_F(BrowserCommands, TypeFiresInputEventsAndReplaces) {
  ok({"navigate", page("index.html")});
  EXPECT_EQ(ok({"type", "#q", "abc"}), "");
  EXPECT_EQ(ok({"type", "#q", "def", "ghi"}), "");
  EXPECT_EQ(ok({"eval", "document.getElementById('q').value"}), "def ghi\n");
  EXPECT_EQ(ok({"eval", "window.inputs > 0 && document.activeElement.id"}), "q\n");
  // Typing alone submits nothing.
  EXPECT_EQ(ok({"title"}), "Tessik Test Page\n");
}

TEST_F(BrowserCommands, SubmittedFormsLeadToTheNextPage) {
  struct Case {
    std::vector<std::vector<std::string>> steps;
    std::string title;
    std::string url_tail;
  };
  const std::vector<Case> cases = {
      // Enter submits a form with a submit button.
      {{{"type", "#q", "hello", "world", "--submit"}}, "Results for hello world",
       "result.html?q=hello+world"},
      // Two fields and no button: Enter does not submit, so the form is submitted.
      {{{"type", "#first", "Ada"}, {"type", "--submit", "#last", "Lovelace"}},
       "Results for Ada Lovelace", "result.html?first=Ada&last=Lovelace"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    ok({"navigate", page("index.html")});
    for (const auto& step : c.steps) EXPECT_EQ(ok(step), "");
    EXPECT_EQ(ok({"title"}), c.title + "\n");
    std::string url = ok({"url"});
    EXPECT_EQ(url, page(c.url_tail) + "\n");
  }
}

// Pages lay out for a window of a person's, in front, with the focus.
TEST_F(BrowserCommands, ATabIsAWindowInFront) {
  ok({"navigate", page("index.html")});
  EXPECT_EQ(ok({"eval", "[innerWidth, innerHeight, screen.width, document.hasFocus()].join(' ')"}),
            "1280 720 1280 true\n");
}

TEST_F(BrowserCommands, HistoryMovesAndReloads) {
  ok({"navigate", page("index.html")});
  ok({"navigate", page("second.html")});
  // A mark left in the document is gone once the reload has brought a new
  // one, fully loaded; the page's own storage is no witness, since the
  // browser may drop a file page's session storage across the reload.
  ok({"eval", "window.mark = 'before'"});
  EXPECT_EQ(ok({"reload"}), "");
  EXPECT_EQ(ok({"eval", "[typeof window.mark, performance.getEntriesByType('navigation')[0].type,"
                        " document.readyState].join(' ')"}),
            "undefined reload complete\n");

  EXPECT_EQ(ok({"back"}), "");
  EXPECT_EQ(ok({"title"}), "Tessik Test Page\n");
  EXPECT_EQ(ok({"forward"}), "");
  EXPECT_EQ(ok({"title"}), "Second Page\n");
  RunResult end = run({"forward"});
  EXPECT_EQ(end.status, 1);
  EXPECT_EQ(end.err, "tessik-browser: no next page in history\n");
  EXPECT_EQ(ok({"url"}), page("second.html") + "\n");
}

TEST_F(BrowserCommands, NavigationErrorsNameTheUrl) {
  testing::DeadPort refusing;
  const std::string refused = "http://127.0.0.1:" + std::to_string(refusing.port()) + "/";
  const std::pair<std::string, std::string> cases[] = {
      {refused, "cannot load " + refused + ": net::ERR_CONNECTION_REFUSED"},
      {"http://127.0.0.1:1/", "cannot load http://127.0.0.1:1/: net::ERR_UNSAFE_PORT"},
      // Without a scheme, a loopback address gets http://, any other host https://.
      {"127.0.0.1:1/", "cannot load http://127.0.0.1:1/: net::ERR_UNSAFE_PORT"},
      {"http://[::1", "cannot load http://[::1: Cannot navigate to invalid URL"},
  };
  for (const auto& [url, err] : cases) {
    SCOPED_TRACE(url);
    RunResult r = run({"navigate", url});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tessik-browser: " + err + "\n");
  }
}

TEST_F(BrowserCommands, ATabOpenedByThePageIsTheNextWidget) {
  ok({"navigate", page("index.html")});
  EXPECT_EQ(ok({"click", "#away"}), "");
  // The new tab loads on its own; widget 2 exists as soon as it opens.
  EXPECT_EQ(ok({"--widget", "2", "eval",
                "new Promise(r => document.readyState === 'complete' ? r(document.title)"
                " : addEventListener('load', () => r(document.title)))"}),
            "Second Page\n");
  EXPECT_EQ(ok({"--widget", "2", "url"}), page("second.html") + "\n");
  EXPECT_EQ(ok({"--widget", "1", "title"}), "Tessik Test Page\n");
  // Its history starts with the page it opened on.
  RunResult back = run({"--widget", "2", "back"});
  EXPECT_EQ(back.status, 1);
  EXPECT_EQ(back.err, "tessik-browser: no previous page in history\n");
  // With two widgets, a command must name one.
  RunResult unnamed = run({"title"});
  EXPECT_EQ(unnamed.status, 1);
  EXPECT_EQ(unnamed.err,
            "tessik-browser: more than one widget is open, name one with --widget: 1, 2\n");
  // Closed, the window's widget goes away and the first is the only one again.
  EXPECT_EQ(ok({"--widget", "2", "eval", "window.close()"}), "");
  // A window closes after the script that closed it has returned.
  ok({"--widget", "1", "eval", "new Promise(r => setTimeout(r, 500))"});
  EXPECT_EQ(ok({"title"}), "Tessik Test Page\n");
  RunResult gone = run({"--widget", "2", "url"});
  EXPECT_EQ(gone.err, "tessik-browser: no such widget: 2\n");
}

TEST_F(BrowserCommands, UnknownWidgetsAreReported) {
  // A long id is shown short: it is the request's, not the host's.
  const std::string long_id(100, '7');
  const std::pair<std::string, std::string> cases[] = {
      {"9", "9"}, {"01", "01"}, {"", ""}, {long_id, long_id.substr(0, 40) + "..."}};
  for (const auto& [id, shown] : cases) {
    RunResult r = run({"--widget", id, "url"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tessik-browser: no such widget: " + shown + "\n");
  }
}

TEST_F(BrowserCommands, AWrongTokenIsRefused) {
  TempDir other;
  testing::write_state_file(other, port_, "not-the-token");
  RunResult r = testing::run_binary({"url"}, {.home = other.path().string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "tessik-browser: unauthorized\n");
}

TEST_F(BrowserCommands, RequestsOutsideTheContractGetAnEnvelope) {
  const std::string good = token();
  const std::string body = R"({"command":"url"})";
  const std::string six_times_seven = R"({"command":"eval","args":{"script":"6 * 7"}})";
  const std::string port = std::to_string(port_);
  struct Case {
    std::string name;
    std::string request;
    std::string status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"wrong token", post(good.substr(1) + "x", body), "HTTP/1.1 401 Unauthorized",
       R"({"error":"unauthorized","ok":false})"},
      {"no token",
       "POST /v1/exec HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
       "HTTP/1.1 401 Unauthorized", R"({"error":"unauthorized","ok":false})"},
      {"other path", post(good, body, "POST /v2/exec HTTP/1.1"), "HTTP/1.1 404 Not Found",
       R"({"error":"not found","ok":false})"},
      {"other method", post(good, body, "GET /v1/exec HTTP/1.1"), "HTTP/1.1 405 Method Not Allowed",
       R"({"error":"method not allowed","ok":false})"},
      {"too large",
       "POST /v1/exec HTTP/1.1\r\nAuthorization: Bearer " + good +
           "\r\nContent-Length: 16777217\r\n\r\n",
       "HTTP/1.1 413 Content Too Large", R"({"error":"request body too large","ok":false})"},
      {"not json", post(good, "{\"command\":"), "HTTP/1.1 400 Bad Request",
       R"({"error":"bad request: EOF while parsing a value at line 1 column 11","ok":false})"},
      {"no command", post(good, "{}"), "HTTP/1.1 400 Bad Request",
       R"({"error":"bad request: missing command","ok":false})"},
      {"unknown command", post(good, R"({"command":"fly"})"), "HTTP/1.1 400 Bad Request",
       R"({"error":"unknown command: fly","ok":false})"},
      {"good", post(good, six_times_seven), "HTTP/1.1 200 OK",
       R"({"data":{"ok":true,"value":42},"ok":true})"},
      // Bytes that are not UTF-8 never reach the browser, nor come back.
      {"body not utf-8", post(good, "{\"command\":\"eval\",\"args\":{\"script\":\"'\xFF'\"}}"),
       "HTTP/1.1 400 Bad Request",
       R"({"error":"bad request: the body is not valid UTF-8","ok":false})"},
      {"version not utf-8", "POST /v1/exec HTTP/\xFF\xC3\r\n\r\n", "HTTP/1.1 400 Bad Request",
       R"({"error":"bad request: unsupported protocol version: HTTP/\\xff\\xc3","ok":false})"},
      {"from a page", with_host(post(good, six_times_seven), "127.0.0.1\r\nOrigin: null"),
       "HTTP/1.1 403 Forbidden", R"({"error":"forbidden: a request with an Origin header","ok":false})"},
      {"to another name", with_host(post(good, six_times_seven), "evil.example:" + port),
       "HTTP/1.1 403 Forbidden",
       R"({"error":"forbidden: Host is not 127.0.0.1 or localhost","ok":false})"},
      {"to its name and port", with_host(post(good, six_times_seven), "localhost:" + port),
       "HTTP/1.1 200 OK", R"({"data":{"ok":true,"value":42},"ok":true})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string reply = exchange(port_, c.request);
    EXPECT_EQ(status_line(reply), c.status);
    EXPECT_NE(reply.find("\r\nContent-Length: " + std::to_string(c.body.size()) + "\r\n"),
              std::string::npos)
        << reply;
    EXPECT_EQ(body_of(reply), c.body);
  }
}

TEST_F(BrowserCommands, ASilentClientBlocksNoOne) {
  // Connected and saying nothing: the host must go on serving others.
  int idle = connect_to(port_);
  auto start = Clock::now();
  EXPECT_EQ(ok({"eval", "'still served'"}), "still served\n");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  ::close(idle);
}

TEST_F(BrowserCommands, ACommandWhoseClientLeftInLineNeverRuns) {
  ok({"navigate", page("index.html")});
  ok({"eval", "window.hits = 0"});
  const std::string good = token();
  // One command holds the browser while a second waits in line.
  int running = connect_to(port_);
  std::string first =
      post(good, R"j({"command":"eval","args":{"script":"new Promise(r => setTimeout(() => r('first'), 1500))"}})j");
  ASSERT_EQ(::send(running, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // The second one's client sends its whole request and goes, as on Ctrl-C.
  int waiting = connect_to(port_);
  std::string second = post(good, R"({"command":"eval","args":{"script":"window.hits += 1"}})");
  ASSERT_EQ(::send(waiting, second.data(), second.size(), 0), static_cast<ssize_t>(second.size()));
  ::close(waiting);

  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::recv(running, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
  ::close(running);
  EXPECT_EQ(body_of(reply), R"({"data":{"ok":true,"value":"first"},"ok":true})");
  EXPECT_EQ(ok({"eval", "window.hits"}), "0\n");
}

// A client may end its sending side once its request is out, as HTTP
// allows (nc -N, shutdown(SHUT_WR)): it still waits for the reply.
TEST_F(BrowserCommands, AClientThatEndsItsSendingSideIsAnswered) {
  const std::string request = post(token(), R"({"command":"eval","args":{"script":"6 * 7"}})");
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    int fd = connect_to(port_);
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    ASSERT_EQ(::shutdown(fd, SHUT_WR), 0);
    std::string reply;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_EQ(status_line(reply), "HTTP/1.1 200 OK");
    EXPECT_EQ(body_of(reply), R"({"data":{"ok":true,"value":42},"ok":true})");
  }
}

TEST_F(BrowserCommands, ClientsAtOnceAreServedInTurn) {
  ok({"navigate", page("index.html")});
  std::vector<RunResult> results(4);
  std::vector<std::thread> clients;
  for (size_t i = 0; i < results.size(); ++i) {
    clients.emplace_back([&results, i] {
      results[i] = run({"eval", "new Promise(r => setTimeout(() => r(" + std::to_string(i) +
                                    " * 10), 100))"});
    });
  }
  for (auto& c : clients) c.join();
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i].status, 0) << results[i].err;
    EXPECT_EQ(results[i].out, std::to_string(i * 10) + "\n");
  }
}

#if defined(__linux__)
// User plus system time of a process, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

TEST_F(BrowserCommands, AnIdleHostWaitsWithoutWorking) {
  // A page that has just loaded still sends events while nobody asks.
  ok({"navigate", page("index.html")});
  long before = cpu_ticks(host_->pid());
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_LT(cpu_ticks(host_->pid()) - before, ::sysconf(_SC_CLK_TCK) / 5);
}
#endif

// Each of these starts a host of its own.
TEST(HostLifecycle, StateFileIsPrivateAndGoneAtExit) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    TempDir home;
    Host host(home.path());
    int port = host.wait_ready();
    ASSERT_NE(port, 0) << host.ready_line() << host.stderr_text();

    struct stat file {}, folder {};
    ASSERT_EQ(::stat(testing::state_path(home.path()).c_str(), &file), 0);
    ASSERT_EQ(::stat(testing::state_path(home.path()).parent_path().c_str(), &folder), 0);
    EXPECT_EQ(file.st_mode & 07777, 0600u);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);

    std::string text = read_file(testing::state_path(home.path()));
    std::string prefix = "{\"pid\":" + std::to_string(host.pid()) + ",\"port\":" +
                         std::to_string(port) + ",\"token\":\"";
    ASSERT_EQ(text.rfind(prefix, 0), 0u) << text;
    std::string token = text.substr(prefix.size(), text.size() - prefix.size() - 3);
    EXPECT_EQ(text.substr(prefix.size() + token.size()), "\"}\n");
    EXPECT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;

    EXPECT_EQ(host.stop(signal), 0);
    EXPECT_FALSE(std::filesystem::exists(testing::state_path(home.path())));
    EXPECT_EQ(host.stderr_text(), "");
  }
}

TEST(HostLifecycle, TheWindowSizeIsAnOption) {
  TempDir home;
  Host host(home.path(), {"--window-size", "800x600"});
  ASSERT_TRUE(testing::ready(host));
  EXPECT_EQ(testing::client_output(home.path(), {"eval", "[innerWidth, innerHeight].join('x')"}),
            "800x600\n");
  EXPECT_EQ(host.stop(), 0);
  for (std::string size : {"800", "0x600", "800x", "10001x10", "8OOx600"}) {
    TempDir other;
    Host refused(other.path(), {"--window-size", size});
    EXPECT_EQ(refused.wait_exit(std::chrono::seconds(10)), 1);
    EXPECT_EQ(refused.stderr_text(),
              "tessik-browser-host: --window-size takes <width>x<height> in pixels from 1 to "
              "10000, not '" + size + "'\n");
  }
}

TEST(HostLifecycle, ASecondHostRefusesToStart) {
  TempDir home;
  Host first(home.path());
  ASSERT_TRUE(testing::ready(first));
  std::string before = read_file(testing::state_path(home.path()));

  Host second(home.path());
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(10)), 1);
  EXPECT_EQ(second.stderr_text(), "tessik-browser-host: another host is running (pid " +
                                      std::to_string(first.pid()) + ", " +
                                      testing::state_path(home.path()).string() + ")\n");
  EXPECT_EQ(read_file(testing::state_path(home.path())), before);
  EXPECT_EQ(first.stop(), 0);
}

TEST(HostLifecycle, AStaleStateFileIsReplaced) {
  TempDir home;
  // The pid of a process that has ended.
  pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  home.write(".tessik/state/browser-rpc.json",
             "{\"pid\":" + std::to_string(dead) + ",\"port\":1,\"token\":\"old\"}\n");

  Host host(home.path());
  ASSERT_TRUE(testing::ready(host));
  EXPECT_EQ(read_file(testing::state_path(home.path())).find("\"pid\":" + std::to_string(host.pid())), 1u);
  EXPECT_EQ(host.stop(), 0);
}

#if defined(__linux__)
TEST(HostLifecycle, TheHostStopsWhenTheBrowserExits) {
  TempDir home;
  Host host(home.path());
  ASSERT_TRUE(testing::ready(host));
  // The browser is the host's child.
  std::string children = read_file("/proc/" + std::to_string(host.pid()) + "/task/" +
                                   std::to_string(host.pid()) + "/children");
  pid_t browser = static_cast<pid_t>(std::stol(children));
  ASSERT_EQ(::kill(browser, SIGKILL), 0);

  EXPECT_EQ(host.wait_exit(std::chrono::seconds(15)), 1);
  EXPECT_EQ(host.stderr_text(), "tessik-browser-host: the browser exited (signal 9)\n");
  EXPECT_FALSE(std::filesystem::exists(testing::state_path(home.path())));
}
#endif

}  // namespace
}  // namespace tessik
