#include "host/profile.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sys/os_error.h"

namespace tessik::host {

namespace {

constexpr std::string_view kPrefix = "tessik-host-";

// A write lock on the whole of `fd`'s file, taken without waiting; the
// system lets it go when the process ends, however it ends. Record locks
// rather than flock: every system has them.
bool try_lock(int fd) {
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  for (;;) {
    if (::fcntl(fd, F_SETLK, &whole) == 0) return true;
    if (errno != EINTR) return false;
  }
}

int open_retrying(const std::string& path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void remove_folder(const std::string& path) {
  std::error_code ignored;
  // A browser killed a moment ago may still be letting go of its files.
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::filesystem::remove_all(path, ignored);
    if (!std::filesystem::exists(path, ignored)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace

std::string temp_folder() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

std::expected<Profile, std::string> make_profile(const std::string& folder) {
  std::string path = folder + "/" + std::string(kPrefix) + "XXXXXX";
  if (!::mkdtemp(path.data())) {
    return std::unexpected("cannot create a browser profile folder: " + sys::os_error_text(errno));
  }
  auto fail = [&](std::string what) {
    std::string message = what + ": " + sys::os_error_text(errno);
    remove_folder(path);
    return std::unexpected(std::move(message));
  };
  // Locked under another name and then renamed, so that a host sweeping
  // meanwhile never finds the lock free in a folder that is being made.
  std::string taking = path + "/" + kProfileLock + ".new";
  sys::Fd lock(open_retrying(taking, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock) return fail("cannot create " + taking);
  if (!try_lock(lock.get())) return fail("cannot lock " + taking);
  if (::rename(taking.c_str(), (path + "/" + kProfileLock).c_str()) != 0) {
    return fail("cannot rename " + taking);
  }
  return Profile{std::move(path), std::move(lock)};
}

void sweep_profiles(const std::string& folder) {
  // Named first and judged after, so that nothing is removed from the folder
  // while it is being read.
  std::vector<std::string> named;
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(kPrefix) && name.size() == kPrefix.size() + 6) {
      named.push_back(folder + "/" + std::string(name));
    }
  }
  ::closedir(dir);
  for (const std::string& path : named) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
      continue;
    }
    sys::Fd lock(open_retrying(path + "/" + kProfileLock, O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    // Free means its host has ended. Taking it keeps a second sweeper from
    // judging the folder while it goes.
    if (lock && try_lock(lock.get())) remove_folder(path);
  }
}

}  // namespace tessik::host
