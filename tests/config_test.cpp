// The endpoint state file: its path, its reading and its typed decoding.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "rpc/config.h"
#include "sys/os_error.h"
#include "support/fake_endpoint.h"
#include "support/process.h"

namespace tessik {
namespace {

using testing::run_binary;
using testing::TempDir;

std::string decoded(std::string_view text) {
  auto r = decode_rpc_config(text);
  if (!r) return r.error().text();
  return "port " + std::to_string(r->port) + " token [" + r->token + "] pid " + std::to_string(r->pid);
}

TEST(ConfigDecoder, ExactTexts) {
  struct Case {
    std::string text;
    std::string result;
  };
  std::string nested = "{\"x\":" + std::string(100000, '[') + std::string(100000, ']') +
                       ",\"port\":1,\"token\":\"t\",\"pid\":2}";
  const std::vector<Case> cases = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"null", "invalid type: null, expected struct RpcConfig at line 1 column 4"},
      {"{\"port\":70000}", "invalid value: integer `70000`, expected u16 at line 1 column 13"},
      {"{\"port\":-1}", "invalid value: integer `-1`, expected u16 at line 1 column 10"},
      {"{\"port\":1.5}", "invalid type: floating point `1.5`, expected u16 at line 1 column 11"},
      {"{\"port\":\"8080\"}", "invalid type: string \"8080\", expected u16 at line 1 column 14"},
      {"{\"port\":true}", "invalid type: boolean `true`, expected u16 at line 1 column 12"},
      {"{\"port\":[1]}", "invalid type: sequence, expected u16 at line 1 column 8"},
      {"{\"port\":{}}", "invalid type: map, expected u16 at line 1 column 8"},
      {"{\"port\":08080}", "invalid number at line 1 column 10"},
      {"{\"port\":8080}", "missing field `token` at line 1 column 13"},
      {"{\"port\":1,\"port\":2}", "duplicate field `port` at line 1 column 16"},
      {"{\"port\":1,\"port\" \n :2}", "duplicate field `port` at line 2 column 1"},
      {"{\"port\":1,\"port\" }", "duplicate field `port` at line 1 column 18"},
      {"{\"pid\":4294967296}", "invalid value: integer `4294967296`, expected u32 at line 1 column 17"},
      {"{\"token\":null}", "invalid type: null, expected a string at line 1 column 13"},
      {"{port:1}", "key must be a string at line 1 column 2"},
      {"{\"port\":1,}", "trailing comma at line 1 column 11"},
      {"[8080]", "invalid length 1, expected struct RpcConfig with 3 elements at line 1 column 6"},
      {"\n", "EOF while parsing a value at line 2 column 0"},
      {"{\n  \"port\": 70000\n}", "invalid value: integer `70000`, expected u16 at line 2 column 15"},
      // Accepted files.
      {"{\"port\":49152,\"token\":\"abc\",\"pid\":4242}\n", "port 49152 token [abc] pid 4242"},
      {"[49152,\"abc\",4242]", "port 49152 token [abc] pid 4242"},
      {" \r\n\t{\"pid\":0,\"token\":\"\",\"port\":0} \r\n", "port 0 token [] pid 0"},
      {"{\"port\":65535,\"token\":\"a\\\"\\u00e9\",\"pid\":4294967295}",
       "port 65535 token [a\"\xC3\xA9] pid 4294967295"},
      {"{\"po\\u0072t\":1,\"token\":\"t\",\"pid\":2}", "port 1 token [t] pid 2"},
      {"{\"x\":1,\"x\":{\"a\":[true,null,-1.5e3,\"\\uDC00\"]},\"port\":1,\"token\":\"t\",\"pid\":2}",
       "port 1 token [t] pid 2"},
      {nested, "port 1 token [t] pid 2"},
      // Failures of the other kinds.
      {"{\"port\":65536}", "invalid value: integer `65536`, expected u16 at line 1 column 13"},
      {"{\"port\":8080.0}", "invalid type: floating point `8080.0`, expected u16 at line 1 column 14"},
      {"{\"port\":8e3}", "invalid type: floating point `8000.0`, expected u16 at line 1 column 11"},
      {"{\"port\":-0}", "invalid type: floating point `-0.0`, expected u16 at line 1 column 10"},
      {"{\"pid\":-5}", "invalid value: integer `-5`, expected u32 at line 1 column 9"},
      {"{\"port\":\"a\\\"b\\\\\"}", "invalid type: string \"a\\\"b\\\\\", expected u16 at line 1 column 16"},
      {"{\"token\":5}", "invalid type: integer `5`, expected a string at line 1 column 10"},
      {"{\"token\":false}", "invalid type: boolean `false`, expected a string at line 1 column 14"},
      {"{\"token\":x}", "expected value at line 1 column 10"},
      {"{\"token\":nul}", "expected ident at line 1 column 13"},
      {"{\"token\":\"\\uD800\"}", "unexpected end of hex escape at line 1 column 17"},
      {"{\"port\":1,\"token\":\"t\"}", "missing field `pid` at line 1 column 22"},
      {"{\"token\":\"t\"}", "missing field `port` at line 1 column 13"},
      {"{}", "missing field `port` at line 1 column 2"},
      {"{\"port\":1 \"token\":\"t\"}", "expected `,` or `}` at line 1 column 11"},
      {"{\"port\" 1}", "expected `:` at line 1 column 9"},
      {"{\"port\":", "EOF while parsing a value at line 1 column 8"},
      {"{\"port\":1", "EOF while parsing an object at line 1 column 9"},
      {"{\"port\":1,", "EOF while parsing a value at line 1 column 10"},
      {"{\"port\"", "EOF while parsing an object at line 1 column 7"},
      {"{\"x\":[1,]}", "expected value at line 1 column 9"},
      {"{\"x\":{\"a\":1,}}", "key must be a string at line 1 column 13"},
      {"{\"x\":[1 2]}", "expected `,` or `]` at line 1 column 9"},
      {"{\"x\":{\"a\" 1}}", "expected `:` at line 1 column 11"},
      {"{\"x\":{\"a\":1 2}}", "expected `,` or `}` at line 1 column 13"},
      {"{\"x\":[", "EOF while parsing a list at line 1 column 6"},
      {"{\"x\":{", "EOF while parsing an object at line 1 column 6"},
      {"{\"x\":tru}", "expected ident at line 1 column 9"},
      {"{\"x\":1e999}", "missing field `port` at line 1 column 11"},
      {"{\"x\":\"\\q\"}", "invalid escape at line 1 column 8"},
      // The text ends within a u-escape's four digits, skipped member or not.
      {"{\"x\":\"\\u1\"", "EOF while parsing a string at line 1 column 10"},
      {"{\n\"x\":\"ab\\uf\t", "EOF while parsing a string at line 2 column 11"},
      {"{\"token\":\"\\uq", "EOF while parsing a string at line 1 column 13"},
      {"[1,\"t\"]", "invalid length 2, expected struct RpcConfig with 3 elements at line 1 column 7"},
      {"[]", "invalid length 0, expected struct RpcConfig with 3 elements at line 1 column 2"},
      {"[1,\"t\",2,3]", "trailing characters at line 1 column 10"},
      {"[1,\"t\",2,]", "trailing comma at line 1 column 10"},
      {"[1,\"t\",2,", "trailing characters at line 1 column 9"},
      {"[1,\"t\",2", "EOF while parsing a list at line 1 column 8"},
      {"[1,\"t\",2 x", "trailing characters at line 1 column 10"},
      {"[1 \"t\"]", "expected `,` or `]` at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"[", "EOF while parsing a list at line 1 column 1"},
      {"[1,\"t\",2] x", "trailing characters at line 1 column 11"},
      {"{\"port\":1,\"token\":\"t\",\"pid\":2}}", "trailing characters at line 1 column 31"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"\"x\"", "invalid type: string \"x\", expected struct RpcConfig at line 1 column 3"},
      // A token that could break the request head; other bytes pass verbatim.
      {"{\"port\":1,\"token\":\"a\\r\\nX: y\",\"pid\":2}",
       "token holds a control character at line 1 column 29"},
      {"[1,\"\\u0000\",2]", "token holds a control character at line 1 column 11"},
      {"{\"token\":\"\\t\"}", "token holds a control character at line 1 column 13"},
      {"{\"token\":\"\\u001f\"}", "token holds a control character at line 1 column 17"},
      {"{\"token\":\"\x7F\"}", "token holds a control character at line 1 column 12"},
      {"[1,\"a b\\u0080\xC2\x9F\xE6\x97\xA5\",2]", "port 1 token [a b\xC2\x80\xC2\x9F\xE6\x97\xA5] pid 2"},
      {"7", "invalid type: integer `7`, expected struct RpcConfig at line 1 column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(decoded(c.text), c.result) << ::testing::PrintToString(c.text);
}

TEST(StatePath, JoinsWithOneSlash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/u", "/home/u/.tessik/state/browser-rpc.json"},
      {"/home/u/", "/home/u/.tessik/state/browser-rpc.json"},
      {"/home/u//", "/home/u//.tessik/state/browser-rpc.json"},
      {"/", "/.tessik/state/browser-rpc.json"},
      {"", ".tessik/state/browser-rpc.json"},
      {"rel/dir", "rel/dir/.tessik/state/browser-rpc.json"},
      {"~", "~/.tessik/state/browser-rpc.json"},
  };
  for (const auto& [home, path] : cases) EXPECT_EQ(state_file_path(home), path) << home;
}

TEST(EndToEnd, StateFileFailures) {
  TempDir home;
  const std::string path = home.path().string() + "/.tessik/state/browser-rpc.json";
  auto run = [&] { return run_binary({"url"}, {.home = home.path().string()}); };

  auto unset = run_binary({"url"}, {.home = std::nullopt});
  EXPECT_EQ(unset.err, "tessik-browser: HOME not set\n");
  EXPECT_EQ(unset.status, 1);

  auto missing = run();
  EXPECT_EQ(missing.err, "tessik-browser: cannot read " + path + ": " + sys::os_error_text(ENOENT) +
                             "\n(is Tessik running?)\n");
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.status, 1);

  struct Case {
    std::string content;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"\xFF", "cannot read " + path + ": stream did not contain valid UTF-8\n(is Tessik running?)"},
      {"{\"port\":\"\xC3\x28\"}", "cannot read " + path +
                                       ": stream did not contain valid UTF-8\n(is Tessik running?)"},
      {"{\"port\":70000}", "malformed rpc config: invalid value: integer `70000`, expected u16 at line 1 column 13"},
      {"", "malformed rpc config: EOF while parsing a value at line 1 column 0"},
  };
  for (const auto& c : cases) {
    home.write(".tessik/state/browser-rpc.json", c.content);
    auto r = run();
    EXPECT_EQ(r.err, "tessik-browser: " + c.err + "\n") << c.content;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }

  // A directory where the file should be is a read failure with its own text.
  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  auto directory = run();
  EXPECT_EQ(directory.err, "tessik-browser: cannot read " + path + ": " + sys::os_error_text(EISDIR) +
                               "\n(is Tessik running?)\n");
}

// What may sit at the state file's path besides a file: nothing there may
// hold the client up, and a device reads like a file.
TEST(EndToEnd, StateFileOfOtherKinds) {
  TempDir home;
  const std::string path = home.path().string() + "/.tessik/state/browser-rpc.json";
  auto cannot_read = [&](int error) {
    return "cannot read " + path + ": " + sys::os_error_text(error) + "\n(is Tessik running?)";
  };
#if defined(__APPLE__)
  const int socket_error = EOPNOTSUPP;  // macOS's open() refuses a socket itself
#else
  const int socket_error = ENXIO;
#endif
  struct Case {
    std::string name;
    std::function<void()> make;
    std::string err;
  };
  int terminal = -1;  // the other end of the terminal, held open while nobody types
  const std::vector<Case> cases = {
      // Opening a FIFO for reading would wait for a writer that never comes.
      {"fifo", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, cannot_read(ENXIO)},
      {"socket",
       [&] {
         int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         ASSERT_LT(path.size(), sizeof address.sun_path);
         path.copy(address.sun_path, path.size());
         ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
         ::close(fd);
       },
       cannot_read(socket_error)},
      {"link to /dev/null",
       [&] { std::filesystem::create_symlink("/dev/null", path); },
       "malformed rpc config: EOF while parsing a value at line 1 column 0"},
      // Reading a terminal nobody types into would wait for a line that never comes.
      {"link to a terminal",
       [&] {
         terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
         ASSERT_GE(terminal, 0);
         ASSERT_EQ(::grantpt(terminal), 0);
         ASSERT_EQ(::unlockpt(terminal), 0);
         std::filesystem::create_symlink(::ptsname(terminal), path);
       },
       cannot_read(EAGAIN)},
  };
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path);
    c.make();
    auto start = std::chrono::steady_clock::now();
    auto r = run_binary({"url"}, {.home = home.path().string(), .timeout_ms = 5000});
    EXPECT_EQ(r.err, "tessik-browser: " + c.err + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  if (terminal >= 0) ::close(terminal);
}

// A token with a control character is refused before anything is sent, and
// the failure does not show it.
TEST(EndToEnd, ATokenThatCouldSplitTheRequestIsNeverSent) {
  for (std::string_view token : {"ok\\r\\nX-Injected: 1", "ok\\u0000", "ok\x7F"}) {
    SCOPED_TRACE(token);
    testing::FakeEndpoint server(testing::Script{
        .reply = testing::http_reply(R"({"ok":true,"data":"Example Page"})")});
    TempDir home;
    home.write(".tessik/state/browser-rpc.json", "{\"token\":\"" + std::string(token) +
                                                      "\",\"port\":" +
                                                      std::to_string(server.port()) + ",\"pid\":1}");
    auto r = run_binary({"url"}, {.home = home.path().string()});
    EXPECT_EQ(r.err, "tessik-browser: malformed rpc config: token holds a control character at "
                     "line 1 column " +
                         std::to_string(11 + token.size()) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(server.request(0, std::chrono::milliseconds(1000)), "<no request>");
  }
}

TEST(EndToEnd, HomeVariantsFindTheFile) {
  TempDir dir;
  // A malformed file proves which path was opened without any server.
  dir.write("h/.tessik/state/browser-rpc.json", "null");
  dir.write(".tessik/state/browser-rpc.json", "[]");
  const std::string expected_null =
      "tessik-browser: malformed rpc config: invalid type: null, expected struct RpcConfig at line 1 column 4\n";
  const std::string expected_empty =
      "tessik-browser: malformed rpc config: invalid length 0, expected struct RpcConfig with 3 elements "
      "at line 1 column 2\n";
  struct Case {
    std::string home;
    std::string cwd;
    std::string err;
  };
  const std::string root = dir.path().string();
  const std::vector<Case> cases = {
      {root + "/h", "", expected_null},
      {root + "/h/", "", expected_null},
      {root + "//h//", "", expected_null},
      {"h", root, expected_null},
      {"", root, expected_empty},
      {"./", root, expected_empty},
  };
  for (const auto& c : cases) {
    auto r = run_binary({"title"}, {.home = c.home, .cwd = c.cwd});
    EXPECT_EQ(r.err, c.err) << "HOME=" << c.home;
    EXPECT_EQ(r.status, 1);
  }
  // An unreadable path with invalid UTF-8 is shown with U+FFFD.
  auto r = run_binary({"title"}, {.home = root + "/\xFF"});
  EXPECT_EQ(r.err, "tessik-browser: cannot read " + root + "/\xEF\xBF\xBD/.tessik/state/browser-rpc.json: " +
                       sys::os_error_text(ENOENT) + "\n(is Tessik running?)\n");
}

}  // namespace
}  // namespace tessik
