#include "host/state_file.h"
#include "host/messages.h"

#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>  // getentropy
#endif

#include "host/json_build.h"
#include "json/writer.h"
#include "sys/fd.h"
#include "sys/rw.h"
#include "sys/os_error.h"

namespace tessik::host {

namespace {

std::string parent_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder for the host's files: made 0700 when missing. One that exists
// keeps the mode its owner gave it, but must be a real folder of this user's.
std::expected<void, std::string> private_folder(const std::string& path) {
  if (::mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken more than asked.
    if (::chmod(path.c_str(), 0700) != 0) {
      return std::unexpected(msg::cannot(msg::kSetModeOf, path, sys::os_error_text(errno)));
    }
    return {};
  }
  if (errno != EEXIST) {
    return std::unexpected(msg::cannot(msg::kCreate, path, sys::os_error_text(errno)));
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return std::unexpected(msg::cannot(msg::kInspect, path, sys::os_error_text(errno)));
  }
  if (!S_ISDIR(st.st_mode)) return std::unexpected(msg::not_a_directory(path));
  if (st.st_uid != ::geteuid()) return std::unexpected(msg::belongs_to_another_user(path));
  return {};
}

std::expected<void, std::string> state_folders(const std::string& path) {
  std::string state_dir = parent_of(path);
  if (auto made = private_folder(parent_of(state_dir)); !made) return made;
  return private_folder(state_dir);
}

}  // namespace

std::expected<std::string, std::string> make_token() {
  unsigned char bytes[32];
  if (::getentropy(bytes, sizeof bytes) != 0) {
    return std::unexpected(msg::because(msg::kNoRandomBytes, sys::os_error_text(errno)));
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(2 * sizeof bytes);
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 15]);
  }
  return token;
}

std::expected<HostLock, std::string> lock_host(const std::string& path) {
  if (auto made = state_folders(path); !made) return std::unexpected(made.error());
  std::string lock_path = path.ends_with(".json") ? path.substr(0, path.size() - 5) : path;
  lock_path += ".lock";
  auto opened =
      sys::open_file(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (!opened) {
    return std::unexpected(msg::cannot(msg::kOpen, lock_path, sys::os_error_text(opened.error())));
  }
  const int fd = opened->get();
  HostLock lock{std::move(*opened)};
  // The file is never removed, so two hosts always lock the same one.
  auto cannot_lock = [&](int error) {
    return std::unexpected(msg::cannot(msg::kLock, lock_path, sys::os_error_text(error)));
  };
  pid_t holder = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto taken = sys::try_lock(fd);
    if (!taken) return cannot_lock(taken.error());
    if (*taken) return lock;
    auto held_by = sys::lock_holder(fd);
    if (!held_by) return cannot_lock(held_by.error());
    holder = *held_by;
    if (holder != 0) break;  // 0: let go in between, or not to be told; try again
  }
  return std::unexpected(
      msg::another_host(holder > 0 ? std::to_string(holder) : std::string(), path));
}

std::expected<std::string, std::string> write_state_file(const std::string& path, uint32_t pid,
                                                         uint16_t port, const std::string& token) {
  if (auto made = state_folders(path); !made) return std::unexpected(made.error());

  JsonDocument doc;
  std::string text = to_compact_json(ObjectBuilder(doc)
                                         .add_u64("pid", pid)
                                         .add_u64("port", port)
                                         .add_string("token", token)
                                         .build());
  text.push_back('\n');

  // Written beside its final place and renamed over it, so a client never
  // reads half a file.
  std::string temp = path + ".tmp." + std::to_string(pid);
  std::expected<sys::Fd, int> opened = std::unexpected(EEXIST);
  for (int attempt = 0; attempt < 2 && !opened; ++attempt) {
    if (attempt > 0 && opened.error() == EEXIST) ::unlink(temp.c_str());  // left by a crash
    opened =
        sys::open_file(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  }
  if (!opened) {
    return std::unexpected(msg::cannot(msg::kCreate, temp, sys::os_error_text(opened.error())));
  }
  sys::Fd fd = std::move(*opened);
  auto fail = [&](int error) {
    fd.reset();
    ::unlink(temp.c_str());
    return std::unexpected(msg::cannot(msg::kWrite, temp, sys::os_error_text(error)));
  };
  // The umask may have taken more than asked; the mode must be exactly 0600.
  if (::fchmod(fd.get(), 0600) != 0) return fail(errno);
  if (auto written = sys::write_all(fd.get(), text); !written) return fail(written.error());
  if (::fsync(fd.get()) != 0) return fail(errno);
  if (auto closed = fd.close(); !closed) return fail(closed.error());
  if (::rename(temp.c_str(), path.c_str()) != 0) return fail(errno);
  return text;
}

std::expected<void, std::string> remove_state_file(const std::string& path,
                                                   const std::string& text) {
  // No state file is larger than this.
  auto current = sys::read_file(path.c_str(), 1 << 20);
  if (!current || *current != text) return {};  // gone already, or not ours any more
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return std::unexpected(msg::cannot(msg::kRemove, path, sys::os_error_text(errno)));
  }
  return {};
}

}  // namespace tessik::host
