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
  auto fail = [&](std::string what, int error) {
    remove_folder(path);
    return std::unexpected(what + ": " + sys::os_error_text(error));
  };
  // Locked under another name and then renamed, so that a host sweeping
  // meanwhile never finds the lock free in a folder that is being made.
  std::string taking = path + "/" + kProfileLock + ".new";
  auto lock =
      sys::open_file(taking.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (!lock) return fail("cannot create " + taking, lock.error());
  // Nobody else knows the file yet, so the lock is free.
  auto taken = sys::try_lock(lock->get());
  if (!taken || !*taken) return fail("cannot lock " + taking, taken ? EAGAIN : taken.error());
  if (::rename(taking.c_str(), (path + "/" + kProfileLock).c_str()) != 0) {
    return fail("cannot rename " + taking, errno);
  }
  return Profile{std::move(path), std::move(*lock)};
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
    std::string lock_path = path + "/" + kProfileLock;
    auto lock = sys::open_file(lock_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (!lock) continue;
    // Free means its host has ended. Taking it keeps a second sweeper from
    // judging the folder while it goes.
    if (auto taken = sys::try_lock(lock->get()); taken && *taken) remove_folder(path);
  }
}

}  // namespace tessik::host
