// The entry of the browser tests: they need the real browser on this machine,
// and skip (status 77) where there is none.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "browser/host_process.h"
#include "host/chromium.h"

namespace tessik::testing {
std::string real_browser;
}

int main(int argc, char** argv) {
  // The host looks for its browser the same way.
  auto browser = tessik::host::choose_browser("", std::getenv("TESSIK_CHROMIUM"),
                                              tessik::host::browser_candidates());
  if (!browser) {
    std::printf("%s; skipping the browser tests\n", browser.error().c_str());
    return 77;
  }
  tessik::testing::real_browser = *browser;
  // A host that closes early must fail a send, not end the test program.
  std::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
