// The real binary against the scripted endpoint: the request it sends, and the
// stdout, stderr and exit status of every kind of reply.

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "sys/os_error.h"
#include "support/fake_endpoint.h"
#include "support/process.h"
#include "support/requests.h"

namespace tessik {
namespace {

using testing::DeadPort;
using testing::FakeEndpoint;
using testing::http_reply;
using testing::RunResult;
using testing::Script;
using testing::TempDir;

const std::string kToken = "secret-token";

struct Served {
  RunResult run;
  std::string request;  // as the server read it
};

// Runs the binary with a HOME whose state file names a fresh endpoint that
// answers with `script`.
Served run_against(const std::vector<std::string>& args, Script script,
                   testing::RunOptions options = {}) {
  FakeEndpoint server(std::move(script));
  TempDir home;
  testing::write_state_file(home, server.port(), kToken);
  options.home = home.path().string();
  RunResult run = testing::run_binary(args, options);
  return {std::move(run), server.request()};
}

// A string result of 4 MiB whose bytes are not all alike, so that a lost or
// repeated piece shows.
std::string large_text() {
  std::string text;
  for (int i = 0; text.size() < (size_t{4} << 20); ++i) text += std::to_string(i) + ' ';
  return text;
}

// A reply whose body is `envelope`, for the `title` command.
RunResult run_with_envelope(std::string_view envelope) {
  return run_against({"title"}, {.reply = http_reply(envelope)}).run;
}

TEST(EndToEnd, EveryCommandReachesTheEndpoint) {
  // What the endpoint answers each command with (the envelope's "data"), and
  // what the binary then prints.
  struct Reply {
    std::string_view data;
    std::string out;
  };
  const std::map<std::string, Reply> replies = {
      {"url", {R"("https://example.com/")", "https://example.com/\n"}},
      {"title", {R"("Example Page")", "Example Page\n"}},
      {"navigate", {"null", ""}},
      {"back", {"null", ""}},
      {"forward", {"true", "true\n"}},
      {"reload", {"null", ""}},
      {"text", {R"("Hello\nWorld")", "Hello\nWorld\n"}},
      {"eval", {R"({"ok":true,"value":3})", "3\n"}},
      {"click", {"null", ""}},
      {"type", {R"(["typed"])", "[\n  \"typed\"\n]\n"}},
  };
  for (const auto& c : testing::command_requests()) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    const std::string& command = c.words[c.words[0] == "--widget" ? 2 : 0];
    const Reply& reply = replies.at(command);
    std::string envelope = R"({"ok":true,"data":)" + std::string(reply.data) + "}";
    auto served = run_against(c.words, {.reply = http_reply(envelope)});
    EXPECT_EQ(served.request, testing::expected_wire(kToken, c.length, c.body));
    EXPECT_EQ(served.run.out, reply.out);
    EXPECT_EQ(served.run.err, "");
    EXPECT_EQ(served.run.status, 0);
  }
}

struct Outcome {
  std::string reply_body;
  std::string out;
  std::string err;  // the message, without prefix and line feed; empty for none
};

void expect_outcomes(const std::vector<Outcome>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply_body);
    RunResult r = run_with_envelope(c.reply_body);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err.empty() ? "" : "tessik-browser: " + c.err + "\n");
    EXPECT_EQ(r.status, c.err.empty() ? 0 : 1);
  }
}

TEST(EndToEnd, EnvelopeDecisions) {
  const std::string deep127 = std::string(127, '[') + std::string(127, ']');
  const std::string deep128 = std::string(128, '[') + std::string(128, ']');
  expect_outcomes({
      // Not one JSON value.
      {"", "", "bad response: EOF while parsing a value at line 1 column 0"},
      {"{} x", "", "bad response: trailing characters at line 1 column 4"},
      {deep128, "", "bad response: recursion limit exceeded at line 1 column 128"},
      // "ok" not true: the error text when it is a string, else "unknown error".
      {R"({"ok":false,"error":"no such widget"})", "", "no such widget"},
      {R"({"ok":"true","error":"ok is a string"})", "", "ok is a string"},
      {R"({"ok":null,"error":"two\nlines"})", "", "two\nlines"},
      {R"({"ok":false,"error":"x","data":"not read"})", "", "x"},
      {R"({"ok":false,"error":{"code":3}})", "", "unknown error"},
      {R"({"ok":false})", "", "unknown error"},
      {R"({"ok":1,"data":"x"})", "", "unknown error"},
      {R"({"OK":true})", "", "unknown error"},
      {"[]", "", "unknown error"},
      {R"("done")", "", "unknown error"},
      {"42", "", "unknown error"},
      {"null", "", "unknown error"},
      {deep127, "", "unknown error"},
      // "ok" true: the data, one level of script result unwrapped.
      {R"({"ok":true})", "", ""},
      {R"({"ok":true,"data":null})", "", ""},
      {R"({"ok":true,"error":"ignored"})", "", ""},
      {R"({"ok":false,"ok":true})", "", ""},
      {R"({"ok":true,"data":"Example Page"})", "Example Page\n", ""},
      {R"({"ok":true,"data":{"ok":true}})", "", ""},
      {R"({"ok":true,"data":{"ok":true,"value":"v"}})", "v\n", ""},
      {R"({"ok":true,"data":{"ok":true,"value":{"ok":false}}})", "{\n  \"ok\": false\n}\n", ""},
      {R"({"ok":true,"data":{"ok":"yes","value":1}})",
       "{\n  \"ok\": \"yes\",\n  \"value\": 1\n}\n", ""},
      {R"({"ok":true,"data":{"ok":null,"error":"e"}})",
       "{\n  \"error\": \"e\",\n  \"ok\": null\n}\n", ""},
      {R"({"ok":true,"data":{"ok":false}})", "", "eval error"},
      {R"({"ok":true,"data":{"ok":false,"error":7}})", "", "eval error"},
      {R"({"ok":true,"data":{"ok":false,"error":"ReferenceError: x is not defined"}})", "",
       "ReferenceError: x is not defined"},
  });
}

TEST(EndToEnd, EmptyErrorTextIsAnEmptyMessage) {
  RunResult r = run_with_envelope(R"({"ok":false,"error":""})");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tessik-browser: \n");
  EXPECT_EQ(r.status, 1);
}

TEST(EndToEnd, ResultForms) {
  struct Case {
    std::string data;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"null", ""},
      {R"("")", "\n"},
      {R"("two\nwords")", "two\nwords\n"},
      {R"("say \"hi\" \\ back\\slash")", "say \"hi\" \\ back\\slash\n"},
      {R"("tab\tand \u0001 and \u00e9")", "tab\tand \x01 and \xC3\xA9\n"},
      {"true", "true\n"},
      {"false", "false\n"},
      {"42", "42\n"},
      {"-7", "-7\n"},
      {"18446744073709551615", "18446744073709551615\n"},
      {"-9223372036854775808", "-9223372036854775808\n"},
      {"1e2", "100.0\n"},
      {"-0", "-0.0\n"},
      {"0.1", "0.1\n"},
      {"1e16", "1e+16\n"},
      {"[]", "[]\n"},
      {"{}", "{}\n"},
      {R"({"b":1,"a":[true,null,{},[]],"c":"x"})",
       "{\n"
       "  \"a\": [\n"
       "    true,\n"
       "    null,\n"
       "    {},\n"
       "    []\n"
       "  ],\n"
       "  \"b\": 1,\n"
       "  \"c\": \"x\"\n"
       "}\n"},
      // Strings inside arrays are JSON again: quoted and escaped.
      {R"(["a\"b","tab\there","\u0001","/"])",
       "[\n  \"a\\\"b\",\n  \"tab\\there\",\n  \"\\u0001\",\n  \"/\"\n]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    RunResult r = run_with_envelope(R"({"ok":true,"data":)" + c.data + "}");
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(EndToEnd, TransportFailures) {
  struct Case {
    const char* name;
    std::string message;
    Script script;  // last, which keeps GCC 12 from a false maybe-uninitialized
  };
  const std::vector<Case> cases = {
      {"close without a reply", "rpc error: no body", {.reply = ""}},
      {"bare line feeds", "rpc error: no body", {.reply = "HTTP/1.1 200 OK\n\n{\"ok\":true}"}},
      {"invalid UTF-8", "rpc error: stream did not contain valid UTF-8",
       {.reply = "HTTP/1.1 200 OK\r\nX: \xC0\xAF\r\n\r\n{\"ok\":true,\"data\":1}"}},
      {"reset mid-body", "rpc error: " + sys::os_error_text(ECONNRESET),
       {.reply = http_reply(R"({"ok":true,"data":"cut"})").substr(0, 95),
        .hold = std::chrono::milliseconds(50),
        .reset = true}},
      // The status line means nothing; the envelope decides.
      {"status 500 with a failure envelope", "boom",
       {.reply = http_reply(R"({"ok":false,"error":"boom"})", "500 Internal Server Error")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r = run_against({"url"}, c.script).run;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "tessik-browser: " + c.message + "\n");
    EXPECT_EQ(r.status, 1);
  }
}

TEST(EndToEnd, NothingListening) {
  DeadPort dead;
  TempDir home;
  testing::write_state_file(home, dead.port(), kToken);
  RunResult r = testing::run_binary({"url"}, {.home = home.path().string()});
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "tessik-browser: rpc error: " + sys::os_error_text(ECONNREFUSED) + "\n");
  EXPECT_EQ(r.status, 1);
}

TEST(EndToEnd, ClosedStandardOutputIsNoSignal) {
  std::string big = "[";
  for (int i = 0; i < 20000; ++i) big += (i ? ",\"item\"" : "\"item\"");
  big += "]";
  struct Case {
    const char* name;
    std::string envelope;
    int status;
    std::string err;
  };
  // A result that cannot be written is no success, yet nothing is reported.
  const std::vector<Case> cases = {
      {"a line", R"({"ok":true,"data":"Example Page"})", 1, ""},
      {"many writes", R"({"ok":true,"data":)" + big + "}", 1, ""},
      {"nothing to write", R"({"ok":true})", 0, ""},
      {"a failure", R"({"ok":false,"error":"no such widget"})", 1,
       "tessik-browser: no such widget\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RunResult r =
        run_against({"url"}, {.reply = http_reply(c.envelope)}, {.stdout_closed = true}).run;
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
  }
}

// A caller may hand over standard output in non-blocking mode and start
// reading late: the whole result must still arrive.
TEST(EndToEnd, NonBlockingStandardOutputGetsTheWholeResult) {
  const std::string text = large_text();
  RunResult r = run_against({"url"}, {.reply = http_reply(R"({"ok":true,"data":")" + text + "\"}")},
                            {.stdout_nonblocking = true, .read_after_ms = 1000})
                    .run;
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.size(), text.size() + 1);
  EXPECT_TRUE(r.out == text + "\n");
}

// Every run works on a small stack: large buffers live elsewhere.
TEST(EndToEnd, SmallStack) {
  const std::string text = large_text();
  const testing::RunOptions small{.stack_kib = 64};
  RunResult help = testing::run_binary({"--help"}, small);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, testing::read_file(std::filesystem::path(__FILE__).parent_path() / "data" /
                                         "help.txt") +
                          "\n");
  RunResult usage = testing::run_binary({"navigate"}, small);
  EXPECT_EQ(usage.status, 1);
  EXPECT_EQ(usage.err, "tessik-browser: usage: navigate <url>\n");
  RunResult url =
      run_against({"url"}, {.reply = http_reply(R"({"ok":true,"data":")" + text + "\"}")}, small)
          .run;
  EXPECT_EQ(url.status, 0);
  EXPECT_EQ(url.err, "");
  EXPECT_TRUE(url.out == text + "\n") << url.out.size() << " bytes";
}

}  // namespace
}  // namespace tessik
