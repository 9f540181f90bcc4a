#pragma once
// Runs the real tessik-browser binary with its own arguments and environment.

#include <filesystem>
#include <sys/types.h>
#include <optional>
#include <string>
#include <vector>

namespace tessik::testing {

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal number
  int signal = 0;   // the signal that ended it, if one did
  bool core = false;
};

struct RunOptions {
  // HOME for the child; unset when empty optional.
  std::optional<std::string> home;
  // Working directory for the child; the parent's when empty.
  std::string cwd;
  // Kills the child after this many milliseconds.
  int timeout_ms = 20000;
  // Standard output is a pipe whose reading end is already closed.
  bool stdout_closed = false;
  // Standard output is a pipe in non-blocking mode, as some callers hand over.
  bool stdout_nonblocking = false;
  // Nothing is read from the child for this many milliseconds.
  int read_after_ms = 0;
  // The child runs with a stack limit of this many KiB (0: inherited).
  int stack_kib = 0;
};

// The binaries under test.
extern const char* const kBrowserBinary;
extern const char* const kHostBinary;

// The command line that runs the tessik-browser binary with `args`. In a cross
// build the binary is an argument of the emulator that runs the tests.
std::vector<std::string> binary_command(const std::vector<std::string>& args);

// Why a test cannot run under the emulator of a cross build; empty when the
// tests run natively.
std::string emulated_because();

// Runs the tessik-browser binary with `args`, to its end or its time limit.
RunResult run_binary(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs `command` (a path and its arguments) the same way.
RunResult run_command(const std::vector<std::string>& command, const RunOptions& options = {});

// A started process whose standard output and error are pipes read here.
struct Child {
  pid_t pid = -1;
  int out = -1;  // reading ends
  int err = -1;
};

struct SpawnOptions {
  std::optional<std::string> home;  // unset when empty optional
  std::string cwd;                  // the parent's when empty
  bool stdout_nonblocking = false;
  bool stdout_closed = false;  // `out` is then -1
};

// Starts `command` with standard input from /dev/null, default signal
// handling and HOME as given. Throws std::runtime_error when it cannot.
Child spawn_child(const std::vector<std::string>& command, const SpawnOptions& options);

// A fresh directory under the system's temporary folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  // Writes `content` to path()/relative, creating folders.
  void write(const std::string& relative, const std::string& content) const;

 private:
  std::filesystem::path path_;
};

// The whole content of a file, or an empty text when it cannot be read.
std::string read_file(const std::filesystem::path& path);

// A HOME whose state file names `port` with token `token`.
void write_state_file(const TempDir& home, int port, const std::string& token = "secret-token");

}  // namespace tessik::testing
