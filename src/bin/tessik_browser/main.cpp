#include <csignal>

#include "bin/tessik_browser/app.h"

int main(int argc, char** argv) {
  // A peer or reader that goes away early must give an error, never a signal.
  std::signal(SIGPIPE, SIG_IGN);
  return tessik::run_tessik_browser(argc, argv);
}
