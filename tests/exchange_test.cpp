// The HTTP exchange: the bytes it puts on the wire, and what it makes of every
// kind of reply and transport fault.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <optional>
#include <sys/time.h>

#include "bin/tessik_browser/cli.h"
#include "rpc/exchange.h"
#include "sys/os_error.h"
#include "support/fake_endpoint.h"
#include "support/requests.h"

namespace tessik {
namespace {

using std::chrono::milliseconds;
using testing::DeadPort;
using testing::FakeEndpoint;
using testing::FullBacklog;
using testing::http_reply;
using testing::Script;

// Short enough that a hang shows up as a failure, long enough for a loaded machine.
const ExchangeLimits kQuick{.connect = std::chrono::seconds(3),
                            .receive = std::chrono::seconds(3),
                            .send = std::chrono::seconds(3)};

struct Timed {
  std::expected<ReplyBody, std::string> result;
  milliseconds took;
};

Timed exchange(uint16_t port, JsonValue request, const ExchangeLimits& limits = kQuick,
               std::string token = "tok") {
  RpcConfig config{.port = port, .token = std::move(token), .pid = 1};
  auto start = std::chrono::steady_clock::now();
  auto result = rpc_exchange(config, request, limits);
  auto took =
      std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  return {std::move(result), took};
}

JsonValue url_request(JsonDocument& doc) {
  auto args = build_args(doc, "url", {}, false);
  return *build_request(doc, "url", std::nullopt, *args);
}

// An eval request whose body is a little over `size` bytes.
JsonValue large_request(JsonDocument& doc, size_t size) {
  std::string_view script[] = {doc.add_string(std::string(size, 'x')).as_string()};
  auto args = build_args(doc, "eval", script, false);
  return *build_request(doc, "eval", std::nullopt, *args);
}

std::string outcome(const std::expected<ReplyBody, std::string>& result) {
  return result ? "body: " + std::string(result->text()) : "error: " + result.error();
}

TEST(ExchangeWire, RequestBytesOfEachCommand) {
  auto check = [](const testing::CommandRequest& c, const std::string& token) {
    SCOPED_TRACE(std::string(c.body) + " token '" + token + "'");
    std::vector<const char*> argv;
    for (const auto& w : c.words) argv.push_back(w.c_str());
    auto scanned = scan_options(argv);
    ASSERT_TRUE(scanned);
    const CommandLine& line = scanned->line;
    FakeEndpoint server(Script{.reply = http_reply(R"({"ok":true})")});
    JsonDocument doc;
    auto args = build_args(doc, line.command, line.args, line.submit);
    ASSERT_TRUE(args);
    auto request = build_request(doc, line.command, line.widget, *args);
    ASSERT_TRUE(request);
    auto r = exchange(server.port(), *request, kQuick, token);
    EXPECT_EQ(outcome(r.result), R"(body: {"ok":true})");
    EXPECT_EQ(server.request(), testing::expected_wire(token, c.length, c.body));
  };
  for (const auto& c : testing::command_requests()) check(c, "secret");
  // The token goes out as it is, also when it is empty or not ASCII.
  for (const std::string token : {"", " t\xC3\xB6ken "}) check(testing::command_requests()[0], token);
}

// The script comes last: GCC 12 misreads the cleanup of a string member that
// is followed by other throwing initializers as a use of an uninitialized value.
struct Fault {
  const char* name;
  std::string expected;  // "body: ..." or "error: ..."
  Script script;
};

std::string os_error(int number) { return "error: " + sys::os_error_text(number); }

const std::string kEnvelope = R"({"ok":true,"data":"Example Page"})";

TEST(ExchangeFaults, EveryReplyAndFault) {
  const std::string big(100000, 'b');
  const Fault faults[] = {
      {"plain reply", "body: " + kEnvelope,
       {.reply = http_reply(kEnvelope)}},
      {"status 500 with an envelope", R"(body: {"ok":false,"error":"boom"})",
       {.reply = http_reply(R"({"ok":false,"error":"boom"})", "500 Internal Server Error")}},
      {"no status line at all", R"(body: {"ok":true})",
       {.reply = "\r\n\r\n{\"ok\":true}"}},
      {"ends right after the separator", "body: ",
       {.reply = "HTTP/1.1 204 No Content\r\n\r\n"}},
      {"separator inside the body", "body: ab\r\n\r\ncd\r\n\r\n",
       {.reply = "HTTP/1.1 200 OK\r\n\r\nab\r\n\r\ncd\r\n\r\n"}},
      {"chunked coding is not undone", "body: b\r\n{\"ok\":true}\r\n0\r\n\r\n",
       {.reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                 "b\r\n{\"ok\":true}\r\n0\r\n\r\n"}},
      {"bytes past Content-Length", "body: {}extra",
       {.reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}extra"}},
      {"one byte at a time", "body: " + kEnvelope,
       {.reply = http_reply(kEnvelope), .piece = 1, .pause = milliseconds(2)}},
      {"a body larger than the first buffer", "body: " + big,
       {.reply = http_reply(big)}},
      {"close before any reply", "error: no body",
       {.reply = ""}},
      {"close in the middle of the head", "error: no body",
       {.reply = "HTTP/1.1 200 OK\r\nContent-Le"}},
      {"bare line feeds", "error: no body",
       {.reply = "HTTP/1.1 200 OK\nContent-Length: 2\n\n{}"}},
      {"separator split by a lone CR", "error: no body",
       {.reply = "HTTP/1.1 200 OK\r\n\r\r\n{}"}},
      {"invalid UTF-8 in a header", "error: stream did not contain valid UTF-8",
       {.reply = "HTTP/1.1 200 OK\r\nX-Name: caf\xE9\r\n\r\n{}"}},
      {"invalid UTF-8 in the last byte", "error: stream did not contain valid UTF-8",
       {.reply = http_reply("{}") + "\xC3"}},
      {"invalid UTF-8 and no separator", "error: stream did not contain valid UTF-8",
       {.reply = "\xFF"}},
      {"reset in the middle of the body", os_error(ECONNRESET),
       {.reply = http_reply(kEnvelope).substr(0, 100), .hold = milliseconds(50), .reset = true}},
      {"a reset wins over invalid UTF-8", os_error(ECONNRESET),
       {.reply = "HTTP/1.1 200 OK\r\n\r\n\xFF", .hold = milliseconds(50), .reset = true}},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.name);
    FakeEndpoint server(f.script);
    JsonDocument doc;
    auto r = exchange(server.port(), url_request(doc));
    EXPECT_EQ(outcome(r.result), f.expected);
    EXPECT_LE(r.took, milliseconds(2000));
  }
}

// Each time limit ends a wait that would otherwise last as long as the server likes.
TEST(ExchangeFaults, TimeLimits) {
  const ExchangeLimits receive_soon{.connect = std::chrono::seconds(3),
                                    .receive = milliseconds(300),
                                    .send = std::chrono::seconds(3)};
  const ExchangeLimits send_soon{.connect = std::chrono::seconds(3),
                                 .receive = std::chrono::seconds(3),
                                 .send = milliseconds(300)};
  const milliseconds forever(30000);  // the server outlasts every bound here
  struct Case {
    const char* name;
    ExchangeLimits limits;
    size_t request_size;  // a large eval request instead of "url"
    milliseconds at_most;
    std::string expected;
    Script script;
  };
  const Case cases[] = {
      {"complete reply, connection kept open", receive_soon, 0, milliseconds(2000),
       os_error(EAGAIN), {.reply = http_reply(kEnvelope), .hold = forever}},
      {"silent server", receive_soon, 0, milliseconds(2000), os_error(EAGAIN),
       {.reply = "", .hold = forever}},
      // The limit is per send: while the system grows its send buffer a few
      // sends still get part of the request out, each within the limit.
      {"request never read", send_soon, 16 << 20, milliseconds(6000), os_error(EAGAIN),
       {.reply = "", .read_request = false, .hold = forever}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEndpoint server(c.script);
    JsonDocument doc;
    JsonValue request = c.request_size ? large_request(doc, c.request_size) : url_request(doc);
    auto r = exchange(server.port(), request, c.limits);
    EXPECT_EQ(outcome(r.result), c.expected);
    EXPECT_GE(r.took, milliseconds(300));
    EXPECT_LE(r.took, c.at_most);
  }
}

TEST(ExchangeFaults, ConnectFailures) {
  DeadPort dead;
  FullBacklog full;
  struct Case {
    const char* name;
    uint16_t port;
    ExchangeLimits limits;
    std::string expected;
    milliseconds at_least, at_most;
  };
  const ExchangeLimits connect_soon{.connect = milliseconds(300),
                                    .receive = std::chrono::seconds(3),
                                    .send = std::chrono::seconds(3)};
  const std::vector<Case> cases = {
      {"nothing listening", dead.port(), kQuick, os_error(ECONNREFUSED), milliseconds(0),
       milliseconds(1000)},
#ifdef __linux__
      // Port 0 is not checked; the system refuses it like any closed port.
      {"port 0", 0, kQuick, os_error(ECONNREFUSED), milliseconds(0), milliseconds(1000)},
#endif
      {"backlog full", full.port(), connect_soon, "error: connection timed out",
       milliseconds(300), milliseconds(1500)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JsonDocument doc;
    auto r = exchange(c.port, url_request(doc), c.limits);
    EXPECT_EQ(outcome(r.result), c.expected);
    EXPECT_GE(r.took, c.at_least);
    EXPECT_LE(r.took, c.at_most);
  }
}

TEST(ExchangeFaults, BufferBoundaries) {
  // Replies that end exactly where the reply buffer is full, and one byte past.
  for (size_t total : {size_t{64 * 1024}, size_t{64 * 1024 + 1}, size_t{128 * 1024},
                       size_t{128 * 1024 + 1}}) {
    SCOPED_TRACE(total);
    std::string head = "HTTP/1.1 200 OK\r\n\r\n";
    std::string body(total - head.size(), 'z');
    FakeEndpoint server(Script{.reply = head + body});
    JsonDocument doc;
    auto r = exchange(server.port(), url_request(doc));
    ASSERT_TRUE(r.result) << r.result.error();
    EXPECT_EQ(r.result->reply.size(), total);
    EXPECT_EQ(r.result->text(), body);
  }
}

TEST(ExchangeFaults, TwoHundredMegabyteBody) {
  const size_t size = 200u << 20;
  // Built in place: every copy of 200 MB costs real time.
  std::string reply = "HTTP/1.1 200 OK\r\n\r\n";
  const size_t head = reply.size();
  reply.resize(head + size, 'a');
  reply[head] = '[';
  reply[head + size / 2] = 'm';
  reply.back() = ']';
  FakeEndpoint server(Script{.reply = std::move(reply)});
  JsonDocument doc;
  auto r = exchange(server.port(), url_request(doc), {});
  ASSERT_TRUE(r.result) << r.result.error();
  EXPECT_EQ(r.result->body_begin, head);
  std::string_view got = r.result->text();
  ASSERT_EQ(got.size(), size);
  EXPECT_EQ(got.substr(0, 3), "[aa");
  EXPECT_EQ(got.substr(size / 2 - 1, 3), "ama");
  EXPECT_EQ(got.substr(size - 3), "aa]");
  // Generous for slow machines and sanitizers; growing by fixed steps instead
  // of doubling would copy hundreds of gigabytes and blow far past it.
  EXPECT_LE(r.took, milliseconds(30000));
}

// Counts the timer signals that arrive while a test runs.
volatile sig_atomic_t ticks = 0;
void on_tick(int) { ticks = ticks + 1; }

// A SIGALRM every `interval`, with a handler installed without SA_RESTART, so
// that every blocking call it meets fails with EINTR.
class TimerSignals {
 public:
  explicit TimerSignals(std::chrono::microseconds interval) {
    ticks = 0;
    struct sigaction action {};
    action.sa_handler = on_tick;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGALRM, &action, &old_action_);
    timeval tv{0, static_cast<suseconds_t>(interval.count())};
    itimerval timer{tv, tv};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~TimerSignals() {
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old_action_, nullptr);
  }

 private:
  struct sigaction old_action_ {};
};

TEST(ExchangeSignals, InterruptedCallsAreRepeated) {
  struct Case {
    const char* name;
    Script script;
    milliseconds accept_after;
    size_t request_size;
  };
  const std::vector<Case> cases = {
      // The client's connection request is dropped until the queue has room
      // and goes through on its retry: the wait is spent in poll.
      {"while connecting", {.reply = http_reply(kEnvelope)}, milliseconds(300), 0},
      // The server reads only later, so the large request waits in send.
      {"while sending", {.reply = http_reply(kEnvelope), .read_after = milliseconds(400)},
       milliseconds(0), 16 << 20},
      // The reply trickles in, so the client waits in receive.
      {"while receiving",
       {.reply = http_reply(kEnvelope), .piece = 8, .pause = milliseconds(40)},
       milliseconds(0), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeEndpoint server({c.script}, c.accept_after);
    JsonDocument doc;
    JsonValue request = c.request_size ? large_request(doc, c.request_size) : url_request(doc);
    std::optional<Timed> r;
    {
      TimerSignals signals(std::chrono::microseconds(2000));
      r = exchange(server.port(), request, kQuick);
    }
    EXPECT_EQ(outcome(r->result), "body: " + kEnvelope);
    // The wait lasted long enough for many signals to land in it.
    EXPECT_GE(r->took, milliseconds(300));
    EXPECT_GE(ticks, 50);
  }
}

}  // namespace
}  // namespace tessik
