// The host's request handling without a browser: the HTTP head, the bearer
// token, the reply's form and the decoding of /v1/exec bodies.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "host/exec.h"
#include "host/http.h"
#include "host/navigation.h"

namespace tessik::host {
namespace {

constexpr size_t npos = std::string::npos;

TEST(HostHttp, FindsTheEndOfTheHead) {
  struct Case {
    std::string bytes;
    size_t end;
  };
  const std::vector<Case> cases = {
      {"", npos},
      {"POST /v1/exec HTTP/1.1\r\n", npos},
      {"POST /v1/exec HTTP/1.1\r\nA: b\r\n", npos},
      {"POST /v1/exec HTTP/1.1\r\n\r\n", 26},
      {"POST /v1/exec HTTP/1.1\r\n\r\n{}", 26},
      {"POST /v1/exec HTTP/1.1\n\n{}", 24},
      {"POST /v1/exec HTTP/1.1\r\n\n{}", 25},
      // Only the first empty line counts; the body may hold more.
      {"P / HTTP/1.1\r\n\r\n\r\n\r\n", 16},
      {"P / HTTP/1.1\r\n\r", npos},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(find_head_end(c.bytes), c.end);
  }
}

TEST(HostHttp, ReadsTheHeadersItUses) {
  auto head = parse_request_head(
      "POST /v1/exec?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nauthorization:  Bearer t0k \r\n"
      "CONTENT-LENGTH: 17\r\nContent-Length: 17\r\nExpect: 100-Continue\r\n\r\n");
  ASSERT_TRUE(head) << head.error();
  EXPECT_EQ(head->method, "POST");
  EXPECT_EQ(head->path, "/v1/exec");
  EXPECT_EQ(head->authorization, std::optional<std::string>("Bearer t0k"));
  EXPECT_EQ(head->host, std::optional<std::string>("127.0.0.1"));
  EXPECT_FALSE(head->has_origin);
  EXPECT_EQ(head->content_length, std::optional<size_t>(17));
  EXPECT_TRUE(head->expects_continue);
  EXPECT_FALSE(head->has_transfer_encoding);

  auto bare = parse_request_head("\r\nGET / HTTP/1.0\nTransfer-Encoding: chunked\n\n");
  ASSERT_TRUE(bare) << bare.error();
  EXPECT_EQ(bare->method, "GET");
  EXPECT_EQ(bare->path, "/");
  EXPECT_EQ(bare->authorization, std::nullopt);
  EXPECT_EQ(bare->content_length, std::nullopt);
  EXPECT_TRUE(bare->has_transfer_encoding);

  // A length above the limit is held just above it, however long it is.
  auto huge = parse_request_head("POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n");
  ASSERT_TRUE(huge) << huge.error();
  EXPECT_EQ(huge->content_length, std::optional<size_t>(kMaxBodyBytes + 1));
  auto limit = parse_request_head("POST / HTTP/1.1\r\nContent-Length: 16777216\r\n\r\n");
  ASSERT_TRUE(limit) << limit.error();
  EXPECT_EQ(limit->content_length, std::optional<size_t>(kMaxBodyBytes));
}

TEST(HostHttp, RefusesMalformedHeads) {
  struct Case {
    std::string head;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"\r\n\r\n", "malformed request line"},
      {"POST /v1/exec\r\n\r\n", "malformed request line"},
      {"POST  /v1/exec HTTP/1.1\r\n\r\n", "malformed request line"},
      {"POST /v1/exec HTTP/1.1 x\r\n\r\n", "malformed request line"},
      {"PO(ST /v1/exec HTTP/1.1\r\n\r\n", "malformed request line"},
      {"POST /v1/exec HTTP/2.0\r\n\r\n", "unsupported protocol version: HTTP/2.0"},
      // Request bytes are shown escaped, and only so many of them.
      {"POST /v1/exec HTTP/\xFF\x01\\\r\n\r\n",
       "unsupported protocol version: HTTP/\\xff\\x01\\\\"},
      {"POST /v1/exec " + std::string(41, 'H') + "\r\n\r\n",
       "unsupported protocol version: " + std::string(40, 'H') + "..."},
      {"POST / HTTP/1.1\r\nno colon\r\n\r\n", "malformed header line"},
      {"POST / HTTP/1.1\r\n: empty name\r\n\r\n", "malformed header line"},
      {"POST / HTTP/1.1\r\nBad Name: x\r\n\r\n", "malformed header line"},
      {"POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n", "invalid content-length"},
      {"POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", "invalid content-length"},
      {"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", "invalid content-length"},
      {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
       "conflicting content-length"},
      {"POST / HTTP/1.1\r\nAuthorization: a\r\nAuthorization: a\r\n\r\n",
       "more than one authorization"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head);
    auto head = parse_request_head(c.head);
    ASSERT_FALSE(head);
    EXPECT_EQ(head.error(), c.error);
  }
}

TEST(HostHttp, JudgesEachHeadByOneSetOfRules) {
  struct Case {
    std::string input;  // what has arrived so far
    int status;         // -1: not whole yet; 0: taken
    std::string error;
    std::string headers;
  };
  const std::string exec = "POST /v1/exec HTTP/1.1\r\n";
  const std::string bearer = "Authorization: Bearer t0k\r\n";
  const std::string length = "Content-Length: 2\r\n";
  const std::string big(kMaxHeadBytes, 'x');
  // A whole head that is taken but for `headers`.
  auto with_headers = [&](const std::string& headers) {
    return exec + headers + bearer + length + "\r\n";
  };
  const std::string foreign = "forbidden: Host is not 127.0.0.1 or localhost";
  const std::string from_page = "forbidden: a request with an Origin header";
  const std::vector<Case> cases = {
      {exec + bearer + length, -1, "", ""},
      {exec + "X: " + big, 431, "request head too large", ""},
      {exec + "X: " + big + "\r\n\r\n", 431, "request head too large", ""},
      {"POST /v1/exec\r\n\r\n", 400, "bad request: malformed request line", ""},
      {"POST /v2/exec HTTP/1.1\r\n" + bearer + length + "\r\n", 404, "not found", ""},
      {"GET /v1/exec HTTP/1.1\r\n" + bearer + "\r\n", 405, "method not allowed",
       "Allow: POST\r\n"},
      {exec + length + "\r\n", 401, "unauthorized", "WWW-Authenticate: Bearer\r\n"},
      {exec + "Authorization: Bearer t0K\r\n" + length + "\r\n", 401, "unauthorized",
       "WWW-Authenticate: Bearer\r\n"},
      {exec + bearer + "Transfer-Encoding: chunked\r\n\r\n", 501,
       "transfer-encoding is not supported", ""},
      {exec + bearer + "\r\n", 411, "content-length required", ""},
      {exec + bearer + "Content-Length: 16777217\r\n\r\n", 413, "request body too large", ""},
      {exec + bearer + length + "\r\n{}", 0, "", ""},
      // The host's own names, with or without its port, and no page's request.
      {with_headers("Host: 127.0.0.1\r\n"), 0, "", ""},
      {with_headers("Host: 127.0.0.1:8080\r\n"), 0, "", ""},
      {with_headers("Host: localhost\r\n"), 0, "", ""},
      {with_headers("Host: LocalHost:8080\r\n"), 0, "", ""},
      {with_headers("Host: 127.0.0.1:8081\r\n"), 403, foreign, ""},
      {with_headers("Host: localhost:\r\n"), 403, foreign, ""},
      {with_headers("Host: 127.0.0.1:08080\r\n"), 403, foreign, ""},
      {with_headers("Host: evil.example\r\n"), 403, foreign, ""},
      {with_headers("Host: 127.0.0.1.evil.example\r\n"), 403, foreign, ""},
      {with_headers("Host: \r\n"), 403, foreign, ""},
      {with_headers("Host: localhost\r\nHost: localhost\r\n"), 400, "bad request: more than one host", ""},
      {with_headers("Origin: http://127.0.0.1:8080\r\n"), 403, from_page, ""},
      {with_headers("Host: localhost\r\norigin: null\r\n"), 403, from_page, ""},
      // The body is judged once it is whole: it must be UTF-8.
      {exec + bearer + "Content-Length: 4\r\n\r\n\"\xC3\xA9\"", 0, "", ""},
      {exec + bearer + "Content-Length: 3\r\n\r\n\"\xC3\"", 400,
       "bad request: the body is not valid UTF-8", ""},
      {exec + bearer + "Content-Length: 2\r\n\r\n\xFF\xFE", 400,
       "bad request: the body is not valid UTF-8", ""},
      {exec + bearer + "Content-Length: 5\r\n\r\n\"\xED\xA0\x80\"", 400,
       "bad request: the body is not valid UTF-8", ""},
      {exec + bearer + "Content-Length: 4\r\n\r\n\xFF", 0, "", ""},  // the rest is to come
      // Turned away before the token is looked at.
      {exec + "Origin: http://evil.example\r\n" + length + "\r\n", 403, from_page, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 80));
    auto verdict = judge_request_head(c.input, "t0k", 8080);
    if (c.status < 0) {
      EXPECT_FALSE(verdict);
      continue;
    }
    ASSERT_TRUE(verdict);
    if (verdict->status == 0 && c.input.size() - verdict->head_end >= verdict->body_length) {
      if (auto refused = judge_request_body(
              std::string_view(c.input).substr(verdict->head_end, verdict->body_length))) {
        verdict = refused;
      }
    }
    EXPECT_EQ(verdict->status, c.status);
    EXPECT_EQ(verdict->error, c.error);
    EXPECT_EQ(verdict->headers, c.headers);
  }
  auto taken =
      judge_request_head(exec + bearer + length + "Expect: 100-continue\r\n\r\n{}", "t0k", 8080);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->head_end, exec.size() + bearer.size() + length.size() + 24);
  EXPECT_EQ(taken->body_length, 2u);
  EXPECT_TRUE(taken->expects_continue);
}

TEST(HostHttp, MatchesOnlyTheExactBearerToken) {
  struct Case {
    std::optional<std::string> authorization;
    bool matches;
  };
  const std::string token = "0123abcd";
  const std::vector<Case> cases = {
      {"Bearer 0123abcd", true},
      {"bearer 0123abcd", true},
      {"BEARER 0123abcd", true},
      {std::nullopt, false},
      {"", false},
      {"Bearer", false},
      {"Bearer ", false},
      {"Bearer 0123abc", false},
      {"Bearer 0123abcde", false},
      {"Bearer 0123abcD", false},
      {"Bearer  0123abcd", false},
      {"Basic 0123abcd", false},
      {"0123abcd", false},
      {"Bearer 1123abcd", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.authorization.value_or("(none)"));
    EXPECT_EQ(bearer_matches(c.authorization, token), c.matches);
  }
}

TEST(HostHttp, FormsWholeReplies) {
  EXPECT_EQ(format_reply(401, R"({"error":"unauthorized","ok":false})",
                         "WWW-Authenticate: Bearer\r\n"),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\n"
            "Content-Length: 35\r\nConnection: close\r\nWWW-Authenticate: Bearer\r\n\r\n"
            R"({"error":"unauthorized","ok":false})");
  EXPECT_EQ(format_reply(200, ""),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 0\r\n"
            "Connection: close\r\n\r\n");
}

// A command's fields in one line, so a table can say what a body decodes to.
std::string fields(const Command& c) {
  static const char* const kNames[] = {"url",  "title", "navigate", "back",  "forward",
                                       "reload", "text", "eval",     "click", "type"};
  std::string out = kNames[static_cast<int>(c.kind)];
  if (c.widget) out += " widget=" + *c.widget;
  if (!c.url.empty()) out += " url=" + c.url;
  if (c.selector) out += " selector=" + *c.selector;
  if (!c.script.empty()) out += " script=" + c.script;
  if (c.kind == CommandKind::type) out += " text=" + c.text + (c.submit ? " submit" : "");
  return out;
}

TEST(HostExec, DecodesEachCommand) {
  struct Case {
    std::string body;
    std::string fields;
  };
  const std::vector<Case> cases = {
      {R"({"command":"url"})", "url"},
      {R"({"command":"title","widget_id":"2"})", "title widget=2"},
      {R"({"command":"back","widget_id":"07"})", "back widget=07"},
      {R"({"command":"forward","args":{}})", "forward"},
      {R"({"command":"reload","args":{"ignored":[1]}})", "reload"},
      {R"({"args":{"url":"about:blank"},"command":"navigate"})", "navigate url=about:blank"},
      {R"({"command":"text"})", "text"},
      {R"({"args":{"selector":""},"command":"text"})", "text selector="},
      {R"({"args":{"script":"1 + 2"},"command":"eval"})", "eval script=1 + 2"},
      {R"({"args":{"selector":"button.ok"},"command":"click"})", "click selector=button.ok"},
      {R"({"args":{"selector":"input","submit":true,"text":"hello world"},"command":"type"})",
       "type selector=input text=hello world submit"},
      {R"({"args":{"selector":"input","submit":false,"text":""},"command":"type","widget_id":"3"})",
       "type widget=3 selector=input text="},
      {R"({"args":{"selector":"#q","text":"x"},"command":"type"})", "type selector=#q text=x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto command = decode_exec_request(c.body);
    ASSERT_TRUE(command) << command.error();
    EXPECT_EQ(fields(*command), c.fields);
  }
}

TEST(HostExec, RefusesBodiesItCannotRun) {
  struct Case {
    std::string body;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", "bad request: EOF while parsing a value at line 1 column 0"},
      {"{\"command\":\"url\"} x", "bad request: trailing characters at line 1 column 19"},
      {"[]", "bad request: the body must be a JSON object"},
      {"{}", "bad request: missing command"},
      {R"({"command":7})", "bad request: command must be a string"},
      {R"({"command":"URL"})", "unknown command: URL"},
      {R"({"command":"f\u0000ly\u00e9"})", "unknown command: f\\x00ly\\xc3\\xa9"},
      {R"({"command":")" + std::string(100, 'x') + "\"}",
       "unknown command: " + std::string(40, 'x') + "..."},
      {R"({"command":"url","widget_id":2})", "bad request: widget_id must be a string"},
      {R"({"command":"url","args":[]})", "bad request: args must be an object"},
      {R"({"command":"navigate"})", "bad request: navigate needs args.url"},
      {R"({"command":"navigate","args":{"url":1}})", "bad request: args.url must be a string"},
      {R"({"command":"text","args":{"selector":null}})", "bad request: args.selector must be a string"},
      {R"({"command":"eval","args":{}})", "bad request: eval needs args.script"},
      {R"({"command":"click","args":{}})", "bad request: click needs args.selector"},
      {R"({"command":"type","args":{"selector":"a"}})", "bad request: type needs args.text"},
      {R"({"command":"type","args":{"text":"a"}})", "bad request: type needs args.selector"},
      {R"({"command":"type","args":{"selector":"a","text":"b","submit":"yes"}})",
       "bad request: args.submit must be a boolean"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    auto command = decode_exec_request(c.body);
    ASSERT_FALSE(command) << fields(*command);
    EXPECT_EQ(command.error(), c.error);
  }
}

TEST(HostExec, FormsEnvelopes) {
  EXPECT_EQ(error_envelope("no such widget: 4"), R"({"error":"no such widget: 4","ok":false})");
  EXPECT_EQ(error_envelope("line\nbreak \"q\""), R"({"error":"line\nbreak \"q\"","ok":false})");
  // A command's reply is written whole into one buffer, head and envelope.
  struct Case {
    int status;
    JsonValue data;
    std::string body;
  };
  const std::string long_text(70000, 'z');  // longer than any buffer on the way
  const std::vector<Case> cases = {
      {200, JsonValue(), R"({"data":null,"ok":true})"},
      {200, JsonValue::string("Example Page"), R"({"data":"Example Page","ok":true})"},
      {200, JsonValue::string("\xC3\xA9\"\n"), "{\"data\":\"\xC3\xA9\\\"\\n\",\"ok\":true}"},
      {500, JsonValue::string(long_text), R"({"data":")" + long_text + R"(","ok":true})"},
  };
  for (const Case& c : cases) {
    JsonDocument doc;
    JsonMember members[] = {{doc.add_string("data"), c.data},
                            {doc.add_string("ok"), JsonValue::boolean(true)}};
    EXPECT_EQ(envelope_reply(c.status, doc.add_object(members)).view(),
              format_reply(c.status, c.body));
  }
}

TEST(HostNavigation, GivesAUrlWithoutASchemeOne) {
  const std::pair<std::string, std::string> cases[] = {
      {"localhost", "http://localhost"},
      {"localhost:8080/page.html", "http://localhost:8080/page.html"},
      {"LocalHost:80", "http://LocalHost:80"},
      {"app.localhost/x", "http://app.localhost/x"},
      {"127.0.0.1:8080/page.html", "http://127.0.0.1:8080/page.html"},
      {"127.1.2.3?q", "http://127.1.2.3?q"},
      {"[::1]:8080/", "http://[::1]:8080/"},
      {"[::1]", "http://[::1]"},
      {"example.com", "https://example.com"},
      {"example.com:8443/a", "https://example.com:8443/a"},
      {"127.0.0.1.example.com/", "https://127.0.0.1.example.com/"},
      {"localhostx/", "https://localhostx/"},
      {"[::2]/", "https://[::2]/"},
      // A scheme is kept as given, whatever follows it.
      {"http://example.com", "http://example.com"},
      {"HTTPS://localhost", "HTTPS://localhost"},
      {"about:blank", "about:blank"},
      {"data:text/html,hi", "data:text/html,hi"},
      {"file:///tmp/a.html", "file:///tmp/a.html"},
      {"javascript:1", "javascript:1"},
      {"mailto:a@b.test", "mailto:a@b.test"},
      {"", ""},
  };
  for (const auto& [typed, url] : cases) {
    SCOPED_TRACE(typed);
    EXPECT_EQ(complete_url(typed), url);
  }
}

}  // namespace
}  // namespace tessik::host
