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

struct Profile {
  std::string path;
  sys::Fd lock;  // holds the lock; closing it lets the folder go
};

// $TMPDIR when set and not empty, else /tmp.
std::string temp_folder();

// Makes `<folder>/tessik-host-XXXXXX` with its lock taken.
std::expected<Profile, std::string> make_profile(const std::string& folder);

// Removes the profile folders in `folder`, of this user, whose lock no
// process holds. A folder without the lock is left alone: it is being made,
// or it is not one of ours. Failures only leave a folder in place.
void sweep_profiles(const std::string& folder);

}  // namespace tessik::host
