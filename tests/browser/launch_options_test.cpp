// How the host launches its browser: a profile kept across runs, a visible
// window, and flags of the user's own.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "browser/host_process.h"
#include "browser/page_server.h"
#include "support/process.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Host;
using testing::TempDir;

// The permission bits of `path`, or -1 when it is not there.
int mode_of(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

// Runs one host on `profile` in `home`, sends it `commands` in turn and stops
// it; the outputs of the commands.
std::vector<std::string> run_on_profile(const fs::path& home, const fs::path& profile,
                                        const std::vector<std::vector<std::string>>& commands,
                                        std::vector<std::string> env = {}) {
  Host host(home, {"--profile", profile.string()}, std::move(env));
  std::vector<std::string> outputs;
  if (!testing::ready(host)) {
    ADD_FAILURE() << host.ready_line() << host.stderr_text();
    return outputs;
  }
  for (const auto& command : commands) outputs.push_back(testing::client_output(home, command));
  // Only a browser that closes cleanly writes its cookies out.
  EXPECT_EQ(host.stop(), 0);
  EXPECT_EQ(host.stderr_text(), "");
  return outputs;
}

TEST(KeptProfile, CookiesAndStorageOutliveTheHost) {
  TempDir home, place;
  testing::PageServer pages;
  const fs::path profile = place.path() / "kept";
  const std::string url = pages.url("plain.html");
  run_on_profile(home.path(), profile,
                 {{"navigate", url},
                  {"eval",
                   "document.cookie = 'kept=cookie; max-age=3600'; "
                   "localStorage.setItem('kept', 'storage')"}});
  // Made private, and left in place at the stop.
  EXPECT_EQ(mode_of(profile), 0700);
  ASSERT_TRUE(fs::is_directory(profile / "Default"));

  auto read = run_on_profile(
      home.path(), profile,
      {{"navigate", url}, {"eval", "document.cookie + ' ' + localStorage.getItem('kept')"}});
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[1], "kept=cookie storage\n");
}

TEST(KeptProfile, ASecondHostOnTheProfileRefusesToStart) {
  TempDir first_home, second_home, place;
  const fs::path profile = place.path() / "kept";
  Host first(first_home.path(), {"--profile", profile.string()});
  ASSERT_TRUE(testing::ready(first));

  Host second(second_home.path(), {"--profile", profile.string()});
  EXPECT_EQ(second.wait_exit(30s), 1);
  EXPECT_EQ(second.stderr_text(), "tessik-browser-host: the profile " + profile.string() +
                                      " is in use by another host (pid " +
                                      std::to_string(first.pid()) + ")\n");
  EXPECT_FALSE(fs::exists(testing::state_path(second_home.path())));
  // The first goes on serving.
  EXPECT_EQ(testing::client_output(first_home.path(), {"url"}), "about:blank\n");
  EXPECT_EQ(first.stop(), 0);
}

TEST(KeptProfile, TheSweepLeavesAKeptProfileAloneWhateverItsName) {
  TempDir home, tmp;
  const std::vector<std::string> env = {"TMPDIR=" + tmp.path().string()};
  // Named as the throwaway ones are, where they are made.
  const fs::path profile = tmp.path() / "tessik-host-kept01";
  run_on_profile(home.path(), profile, {{"url"}}, env);
  ASSERT_TRUE(fs::is_directory(profile / "Default"));

  Host next(home.path(), {}, env);  // sweeps the temporary folder as it starts
  ASSERT_TRUE(testing::ready(next));
  EXPECT_TRUE(fs::is_directory(profile / "Default"));
  EXPECT_EQ(next.stop(), 0);
  EXPECT_TRUE(fs::is_directory(profile / "Default"));
}

TEST(KeptProfile, AFolderOthersMayWriteToIsRefused) {
  struct Case {
    const char* name;
    mode_t mode;
    bool foreign;  // owned by another user
    std::string says;
  };
  const std::vector<Case> cases = {
      {"group may write", 0770, false,
       " is writable by others (mode 0770); make it private with chmod 700"},
      {"anyone may write", 0707, false,
       " is writable by others (mode 0707); make it private with chmod 700"},
      {"another user's", 0700, true, " belongs to another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.foreign && ::geteuid() != 0) {
      std::printf("not root: cannot give a folder to another user, case skipped\n");
      continue;
    }
    TempDir home, place;
    const fs::path profile = place.path() / "kept";
    ASSERT_EQ(::mkdir(profile.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(profile.c_str(), c.mode), 0);
    if (c.foreign) {
      ASSERT_EQ(::chown(profile.c_str(), 65534, 65534), 0);
    }
    Host host(home.path(), {"--profile", profile.string()});
    EXPECT_EQ(host.wait_exit(30s), 1);
    EXPECT_EQ(host.stderr_text(),
              "tessik-browser-host: the profile " + profile.string() + c.says + "\n");
    EXPECT_EQ(mode_of(profile), static_cast<int>(c.mode));  // not "fixed" behind the user's back
    EXPECT_FALSE(fs::exists(profile / "Default"));
  }
}

// ---- A visible window. The group runs under a virtual display where there
// is one (xvfb-run).

TEST(Headed, TheHostServesFromAWindow) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) GTEST_SKIP() << "no display (run the group under xvfb-run)";
  TempDir home;
  Host host(home.path(), {"--headed"});
  ASSERT_TRUE(testing::ready(host));
  EXPECT_EQ(testing::client_output(home.path(), {"navigate", testing::page_url("index.html")}),
            "");
  EXPECT_EQ(testing::client_output(home.path(), {"title"}), "Tessik Test Page\n");
  // A headless browser names itself so in its user agent.
  EXPECT_EQ(testing::client_output(home.path(), {"eval", "/Headless/.test(navigator.userAgent)"}),
            "false\n");
  EXPECT_EQ(host.stop(), 0);
}

TEST(Headed, WithoutADisplayTheHostSaysSoAtOnce) {
  TempDir home;
  Host host(home.path(), {"--headed"}, {"DISPLAY=", "WAYLAND_DISPLAY="});
  EXPECT_EQ(host.wait_exit(10s), 1);
  EXPECT_EQ(host.stderr_text(),
            "tessik-browser-host: --headed needs a display, and neither DISPLAY nor "
            "WAYLAND_DISPLAY is set\n");
  EXPECT_FALSE(fs::exists(testing::state_path(home.path())));
}

// ---- The user's own flags.

TEST(BrowserFlags, EachReachesTheBrowser) {
  TempDir home;
  Host host(home.path(), {"--browser-arg", "--accept-lang=de", "--browser-arg",
                          "--user-agent=tessik-test-agent"});
  ASSERT_TRUE(testing::ready(host));
  EXPECT_EQ(testing::client_output(home.path(), {"navigate", testing::page_url("index.html")}),
            "");
  EXPECT_EQ(testing::client_output(home.path(),
                                   {"eval", "navigator.language + ' ' + navigator.userAgent"}),
            "de tessik-test-agent\n");
  EXPECT_EQ(host.stop(), 0);
}

}  // namespace
}  // namespace tessik
