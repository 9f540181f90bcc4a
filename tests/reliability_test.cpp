// Reliability of the real binary, end to end: the token never shows in what it
// prints, it never creates or writes a file, a reply larger than the memory it
// may use ends in one failure line, and (under the valgrind label) its runs
// are clean under memcheck.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sys/os_error.h"
#include "support/fake_endpoint.h"
#include "support/process.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::binary_command;
using testing::DeadPort;
using testing::emulated_because;
using testing::FakeEndpoint;
using testing::http_reply;
using testing::RunResult;
using testing::Script;
using testing::TempDir;

// Distinctive enough that finding it (or its core) anywhere is no accident.
const std::string kToken = "tk-Quokka-5e1f93c7a0-Marmot";
const std::string kTokenCore = "5e1f93c7a0";

// Runs `command` with HOME set to `home` (unset when empty optional) in the
// directory `cwd`. Its output comes through pipes, so it never shows up in a
// tree that a test compares.
RunResult spawn(const std::vector<std::string>& command, const std::optional<std::string>& home,
                const fs::path& cwd, milliseconds timeout = milliseconds(20000)) {
  return testing::run_command(command, {.home = home,
                                        .cwd = cwd.string(),
                                        .timeout_ms = static_cast<int>(timeout.count())});
}

// Every entry under a directory, the directory itself included: its kind,
// size, modification time and, for files, content.
struct Entry {
  fs::file_type type;
  uintmax_t size;
  int64_t mtime;  // nanoseconds: the clock's own count may be __int128 (libc++)
  std::string content;
  bool operator==(const Entry&) const = default;
};

std::map<std::string, Entry> snapshot(const fs::path& root) {
  std::map<std::string, Entry> tree;
  auto add = [&](const fs::path& path) {
    auto status = fs::symlink_status(path);
    bool file = status.type() == fs::file_type::regular;
    Entry e{status.type(), file ? fs::file_size(path) : 0,
            std::chrono::duration_cast<std::chrono::nanoseconds>(
                fs::last_write_time(path).time_since_epoch()).count(),
            file ? testing::read_file(path) : ""};
    tree.emplace(fs::relative(path, root).string(), std::move(e));
  };
  add(root);
  for (const auto& entry : fs::recursive_directory_iterator(root)) add(entry.path());
  return tree;
}

std::string describe(const std::map<std::string, Entry>& tree) {
  std::string text;
  for (const auto& [name, e] : tree) {
    text += name + " " + std::to_string(e.size) + " " + std::to_string(e.mtime) + "\n";
  }
  return text;
}

std::string fill(std::string text, uint16_t port) {
  for (auto [key, value] :
       {std::pair<std::string, std::string>{"{port}", std::to_string(port)}, {"{token}", kToken}}) {
    for (size_t at; (at = text.find(key)) != std::string::npos;)
      text.replace(at, key.size(), value);
  }
  return text;
}

const std::string kGoodState = R"({"port":{port},"token":"{token}","pid":4242})";
const char* const kStatePath = ".tessik/state/browser-rpc.json";

// One run: a state file (with {port} and {token} filled in), the reply of the
// endpoint (or none: nothing listens on the port), and what must come of it.
struct Case {
  const char* name;
  std::string state;
  std::optional<std::string> reply;
  int status;
  std::string err_has;  // a piece of the failure line naming the failure meant
  std::string out = "";
  bool reset = false;
  bool read_request = true;
};

const std::vector<Case>& cases() {
  static const std::vector<Case> all = {
      // Failures of the state file, each with the token in its place.
      {"port out of range",
       R"({"port":70000,"token":"{token}","pid":1})",
       {},
       1,
       "invalid value: integer `70000`"},
      {"negative port", R"({"token":"{token}","port":-1,"pid":1})", {}, 1, "invalid value"},
      {"pid out of range",
       R"({"port":1,"token":"{token}","pid":4294967296})",
       {},
       1,
       "expected u32"},
      {"floating pid", R"({"port":1,"token":"{token}","pid":1.5})", {}, 1, "floating point"},
      {"missing pid", R"({"port":1,"token":"{token}"})", {}, 1, "missing field `pid`"},
      {"token twice",
       R"({"port":1,"token":"{token}","token":"{token}","pid":1})",
       {},
       1,
       "duplicate field `token`"},
      {"trailing comma", R"({"port":1,"token":"{token}","pid":1,})", {}, 1, "trailing comma"},
      {"trailing text",
       R"({"port":1,"token":"{token}","pid":1} {token})",
       {},
       1,
       "trailing characters"},
      {"short array", R"([1,"{token}"])", {}, 1, "invalid length 2"},
      {"long array", R"([1,"{token}",2,"{token}"])", {}, 1, "trailing characters"},
      {"control byte in the token",
       "{\"port\":1,\"token\":\"{token}\x01\",\"pid\":1}",
       {},
       1,
       "control character"},
      {"bad escape in the token",
       R"({"port":1,"token":"{token}\q","pid":1})",
       {},
       1,
       "invalid escape"},
      {"half a surrogate in the token",
       R"({"port":1,"token":"{token}\ud800x","pid":1})",
       {},
       1,
       "unexpected end of hex escape"},
      {"token cut short", R"({"port":1,"token":"{token})", {}, 1, "EOF while parsing a string"},
      {"unquoted token", R"({"port":1,"token":{token},"pid":1})", {}, 1, "expected ident"},
      {"token not UTF-8",
       "{\"port\":1,\"token\":\"{token}\xff\",\"pid\":1}",
       {},
       1,
       "stream did not contain valid UTF-8\n(is Tessik running?)"},
      // Failures of the exchange and the envelope, with a good state file.
      {"nothing listening", kGoodState, {}, 1, "rpc error: "},
      {"application error", kGoodState, http_reply(R"({"ok":false,"error":"no such widget"})"), 1,
       ": no such widget\n"},
      {"not an envelope", kGoodState, http_reply("[]"), 1, ": unknown error\n"},
      {"script failed", kGoodState, http_reply(R"({"ok":true,"data":{"ok":false}})"), 1,
       ": eval error\n"},
      {"token echoed in a header", kGoodState,
       "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer " + kToken + "\r\n\r\n{\"ok\":", 1,
       "bad response: EOF while parsing a value"},
      {"token echoed before bad UTF-8", kGoodState,
       "HTTP/1.1 401 Unauthorized\r\nX-Token: " + kToken + "\xff\r\n\r\n{}", 1,
       "rpc error: stream did not contain valid UTF-8"},
      {"token echoed, no body", kGoodState,
       "HTTP/1.1 401 Unauthorized\nX-Token: " + kToken + "\n\n", 1, "rpc error: no body"},
      {"html body", kGoodState, http_reply("<html>denied</html>", "403 Forbidden"), 1,
       "bad response: expected value at line 1 column 1"},
      {"too deep", kGoodState, http_reply(std::string(128, '[')), 1, "recursion limit exceeded"},
      {"closed without a reply", kGoodState, "", 1, "rpc error: no body"},
      {"reset after the request", kGoodState, "", 1, "rpc error: ", "", true},
      {"reset before reading", kGoodState, "", 1, "rpc error: ", "", true, false},
      // Runs that succeed must not write either.
      {"string result", kGoodState, http_reply(R"({"ok":true,"data":"Example Page"})"), 0, "",
       "Example Page\n"},
      {"object result", kGoodState, http_reply(R"({"ok":true,"data":{"ok":true,"value":[1]}})"), 0,
       "", "[\n  1\n]\n"},
  };
  return all;
}

TEST(Reliability, TheTokenNeverShowsAndNoFileIsWritten) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    std::optional<FakeEndpoint> server;
    std::optional<DeadPort> dead;
    uint16_t port;
    if (c.reply) {
      server.emplace(Script{.reply = *c.reply, .read_request = c.read_request, .reset = c.reset});
      port = server->port();
    } else {
      dead.emplace();
      port = dead->port();
    }
    TempDir home;
    home.write(kStatePath, fill(c.state, port));
    // The run's working directory is HOME too, so a stray file lands in the tree.
    auto before = snapshot(home.path());
    RunResult ran = spawn(binary_command({"title"}), home.path().string(), home.path());
    auto after = snapshot(home.path());

    EXPECT_EQ(ran.signal, 0);
    EXPECT_EQ(ran.status, c.status) << ran.err;
    EXPECT_EQ(ran.out, c.out);
    if (c.status != 0) {
      EXPECT_TRUE(ran.err.starts_with("tessik-browser: ")) << ran.err;
      EXPECT_TRUE(ran.err.ends_with("\n")) << ran.err;
      EXPECT_NE(ran.err.find(c.err_has), std::string::npos) << ran.err;
    } else {
      EXPECT_EQ(ran.err, "");
    }
    for (const std::string& secret : {kToken, kTokenCore}) {
      EXPECT_EQ(ran.out.find(secret), std::string::npos) << ran.out;
      EXPECT_EQ(ran.err.find(secret), std::string::npos) << ran.err;
    }
    EXPECT_EQ(before, after) << "before:\n" << describe(before) << "after:\n" << describe(after);
    if (server && c.read_request) {
      // The token did leave with the request, so its absence above means something.
      EXPECT_NE(server->request().find("\r\nAuthorization: Bearer " + kToken + "\r\n"),
                std::string::npos);
    }
  }
}

TEST(Reliability, NoFileIsWrittenWithoutHomeOrWithAnEmptyOne) {
  FakeEndpoint server(Script{.reply = http_reply(R"({"ok":true,"data":"Example Page"})")});
  TempDir cwd;
  cwd.write(kStatePath, fill(kGoodState, server.port()));
  struct Run {
    std::optional<std::string> home;
    int status;
    std::string out, err;
  };
  // An empty HOME names the state file relative to the working directory.
  const Run runs[] = {{std::nullopt, 1, "", "tessik-browser: HOME not set\n"},
                      {"", 0, "Example Page\n", ""}};
  for (const Run& r : runs) {
    auto before = snapshot(cwd.path());
    RunResult ran = spawn(binary_command({"title"}), r.home, cwd.path());
    EXPECT_EQ(ran.status, r.status);
    EXPECT_EQ(ran.out, r.out);
    EXPECT_EQ(ran.err, r.err);
    EXPECT_EQ(snapshot(cwd.path()), before);
  }
}

// Under a lowered address-space limit, a reply bigger than the limit cannot be
// held; the run must end in its one failure line, not a signal or a core.
TEST(Reliability, AReplyLargerThanTheAddressSpaceEndsInOneFailureLine) {
#if !defined(__linux__)
  GTEST_SKIP() << "RLIMIT_AS is enforced on Linux only";
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TESSIK_ASAN
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)  // clang's spelling
#define TESSIK_ASAN
#endif
#endif
#if defined(TESSIK_ASAN)
  GTEST_SKIP() << "the sanitizer's shadow memory does not fit under a lowered RLIMIT_AS";
#endif
  if (!emulated_because().empty()) {
    GTEST_SKIP() << "the emulator cannot start under a lowered RLIMIT_AS (the test "
                 << emulated_because() << ")";
  }
  constexpr size_t kLimitKiB = 16 * 1024;
  const std::string limited = "ulimit -v " + std::to_string(kLimitKiB) + " && exec \"$0\" \"$@\"";
  const std::vector<std::string> command = {"/bin/sh", "-c", limited, testing::kBrowserBinary,
                                            "title"};
  struct Run {
    const char* name;
    size_t body_bytes;
    int status;
  };
  // The small reply shows that the limit itself leaves room for a normal run.
  const Run runs[] = {{"small reply", 0, 0}, {"reply twice the limit", 2 * kLimitKiB * 1024, 1}};
  for (const Run& r : runs) {
    SCOPED_TRACE(r.name);
    std::string reply;
    if (r.body_bytes == 0) {
      reply = http_reply(R"({"ok":true,"data":"Example Page"})");
    } else {
      reply = "HTTP/1.1 200 OK\r\n\r\n{\"ok\":true,\"data\":\"";
      reply.append(r.body_bytes, 'x');
      reply += "\"}";
    }
    FakeEndpoint server(Script{.reply = std::move(reply)});
    TempDir home;
    home.write(kStatePath, fill(kGoodState, server.port()));
    auto before = snapshot(home.path());
    RunResult ran = spawn(command, home.path().string(), home.path());

    EXPECT_EQ(ran.signal, 0);
    EXPECT_FALSE(ran.core);
    EXPECT_EQ(ran.status, r.status) << ran.err;
    if (r.status == 0) {
      EXPECT_EQ(ran.out, "Example Page\n");
      EXPECT_EQ(ran.err, "");
    } else {
      EXPECT_EQ(ran.out, "");
      EXPECT_EQ(ran.err, "tessik-browser: rpc error: " + sys::os_error_text(ENOMEM) + "\n");
    }
    EXPECT_EQ(snapshot(home.path()), before);  // no core file either
  }
}

// Runs only under the `valgrind` label, which names valgrind and a dynamically
// linked build of the binary (memcheck cannot follow the heap of a static one).
TEST(Valgrind, EndToEndRunsAreClean) {
  const char* valgrind = std::getenv("TESSIK_VALGRIND");
  const char* binary = std::getenv("TESSIK_VALGRIND_BINARY");
  if (!valgrind || !binary) GTEST_SKIP() << "run by the valgrind label (ctest -L valgrind)";
  struct Run {
    const char* name;
    std::vector<std::string> args;
    std::string state;
    std::optional<std::string> reply;
    int status;
  };
  const std::vector<Run> runs = {
      {"string result",
       {"title"},
       kGoodState,
       http_reply(R"({"ok":true,"data":"Example Page"})"),
       0},
      {"object result",
       {"eval", "x"},
       kGoodState,
       http_reply(R"({"ok":true,"data":{"ok":true,"value":{"b":[1,2.5,null],"a":"\u00e9"}}})"),
       0},
      {"application error",
       {"--widget", "2", "type", "input", "hi", "--submit"},
       kGoodState,
       http_reply(R"({"ok":false,"error":"no such widget"})"),
       1},
      {"bad response", {"url"}, kGoodState, http_reply("{\"ok\":true,"), 1},
      {"bad state file", {"url"}, R"({"port":1,"token":"{token}"})", {}, 1},
      {"nothing listening", {"url"}, kGoodState, {}, 1},
  };
  for (const Run& r : runs) {
    SCOPED_TRACE(r.name);
    std::optional<FakeEndpoint> server;
    std::optional<DeadPort> dead;
    uint16_t port;
    if (r.reply) {
      server.emplace(Script{.reply = *r.reply});
      port = server->port();
    } else {
      dead.emplace();
      port = dead->port();
    }
    TempDir home, logs;
    home.write(kStatePath, fill(r.state, port));
    const fs::path log = logs.path() / "memcheck.log";
    std::vector<std::string> command = {valgrind, "--error-exitcode=1", "--leak-check=full",
                                        "--log-file=" + log.string(), binary};
    command.insert(command.end(), r.args.begin(), r.args.end());
    RunResult ran = spawn(command, home.path().string(), home.path(), milliseconds(60000));
    std::string report = testing::read_file(log);

    EXPECT_EQ(ran.status, r.status) << ran.err << report;
    // The exit status alone cannot tell memcheck's errors from the tool's own
    // failures, so its summary is read too; with --leak-check=full it counts
    // definite and possible leaks as errors.
    EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
    // The heap was seen at all: allocations were counted.
    EXPECT_EQ(report.find("total heap usage: 0 allocs"), std::string::npos) << report;
    EXPECT_NE(report.find("total heap usage: "), std::string::npos) << report;
  }
}

}  // namespace
}  // namespace tessik
