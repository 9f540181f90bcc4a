#include "host/profile.h"
#include "host/messages.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
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
    return std::unexpected(msg::because(msg::kCannotCreateProfile, sys::os_error_text(errno)));
  }
  auto fail = [&](std::string_view verb, const std::string& file, int error) {
    remove_folder(path);
    return std::unexpected(msg::cannot(verb, file, sys::os_error_text(error)));
  };
  // Locked under another name and then renamed, so that a host sweeping
  // meanwhile never finds the lock free in a folder that is being made.
  std::string taking = path + "/" + kProfileLock + ".new";
  auto lock =
      sys::open_file(taking.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (!lock) return fail(msg::kCreate, taking, lock.error());
  // Nobody else knows the file yet, so the lock is free.
  auto taken = sys::try_lock(lock->get());
  if (!taken || !*taken) return fail(msg::kLock, taking, taken ? EAGAIN : taken.error());
  if (::rename(taking.c_str(), (path + "/" + kProfileLock).c_str()) != 0) {
    return fail(msg::kRename, taking, errno);
  }
  return Profile{std::move(path), std::move(*lock)};
}

std::expected<Profile, std::string> open_kept_profile(const std::string& folder) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(folder, error);
  if (error) return std::unexpected(msg::cannot(msg::kFindProfile, folder, error.message()));
  std::string path = absolute.lexically_normal().string();
  if (path.size() > 1 && path.ends_with('/')) path.pop_back();
  if (::mkdir(path.c_str(), 0700) == 0) {
    // The umask may have taken more than asked.
    if (::chmod(path.c_str(), 0700) != 0) {
      return std::unexpected(msg::cannot(msg::kSetModeOfProfile, path, sys::os_error_text(errno)));
    }
  } else if (errno != EEXIST) {
    return std::unexpected(msg::cannot(msg::kCreateProfile, path, sys::os_error_text(errno)));
  }
  // A link to a folder is taken as the folder: what counts is who may write there.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::unexpected(msg::cannot(msg::kInspectProfile, path, sys::os_error_text(errno)));
  }
  if (!S_ISDIR(st.st_mode)) return std::unexpected(msg::profile_not_a_folder(path));
  // Whoever else may write there could read the cookies or plant a page's
  // storage; the owner must tighten it, as with a loose key file.
  if (st.st_uid != ::geteuid()) {
    return std::unexpected(msg::profile_of_another_user(path));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::unexpected(msg::profile_too_open(path, mode));
  }

  std::string lock_path = path + "/" + kKeptProfileLock;
  auto lock = sys::open_file(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (!lock) {
    return std::unexpected(msg::cannot(msg::kOpen, lock_path, sys::os_error_text(lock.error())));
  }
  // The file stays, so that two hosts always lock the same one.
  pid_t holder = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    auto taken = sys::try_lock(lock->get());
    if (!taken) {
      return std::unexpected(msg::cannot(msg::kLock, lock_path, sys::os_error_text(taken.error())));
    }
    if (*taken) return Profile{std::move(path), std::move(*lock)};
    auto held_by = sys::lock_holder(lock->get());
    if (held_by && *held_by > 0) {
      holder = *held_by;
      break;
    }
    // Let go in between, or not to be told: try again.
  }
  return std::unexpected(
      msg::profile_in_use(path, holder > 0 ? std::to_string(holder) : std::string()));
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
