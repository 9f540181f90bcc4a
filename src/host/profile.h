#pragma once
// The browser's profile folders under the temporary folder: each made fresh,
// with a lock inside that its host holds for as long as it lives, so that a
// later host can tell the folders of hosts that are gone (killed, crashed)
// from those in use, and remove them with the cookies they hold.

#include <expected>
#include <string>

#include "sys/fd.h"

namespace tessik::host {

// The name of the lock inside each profile folder.
inline constexpr char kProfileLock[] = "tessik-host.lock";
// The lock inside a kept profile (--profile): of another name, so that a
// sweep never takes a kept folder for a throwaway one, wherever it lies.
inline constexpr char kKeptProfileLock[] = "tessik-host-kept.lock";

struct Profile {
  std::string path;
  sys::Fd lock;  // holds the lock; closing it lets the folder go
};

// $TMPDIR when set and not empty, else /tmp.
std::string temp_folder();

// Makes `<folder>/tessik-host-XXXXXX` with its lock taken.
std::expected<Profile, std::string> make_profile(const std::string& folder);

// Opens the kept profile `folder` with its lock taken: made 0700 when
// missing; refused when it is not a folder of this user's alone (another
// user owns it, or others may write to it), or when another host holds it.
// The path given back is absolute, as the browser needs it.
std::expected<Profile, std::string> open_kept_profile(const std::string& folder);

// Removes the profile folders in `folder`, of this user, whose lock no
// process holds. A folder without the lock is left alone: it is being made,
// or it is not one of ours. Failures only leave a folder in place.
void sweep_profiles(const std::string& folder);

}  // namespace tessik::host
