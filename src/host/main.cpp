// tessik-browser-host: the endpoint that tessik-browser talks to, backed by a
// headless Chromium driven over its debugging pipe.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>

#include "host/browser.h"
#include "host/chromium.h"
#include "host/devtools.h"
#include "host/log.h"
#include "host/server.h"
#include "host/signals.h"
#include "host/state_file.h"
#include "rpc/config.h"
#include "sys/fd.h"
#include "sys/rw.h"
#include "sys/os_error.h"
#include "sys/tcp.h"

namespace tessik::host {
namespace {

constexpr std::string_view kHelp =
    "tessik-browser-host - serve tessik-browser from a headless Chromium\n"
    "\n"
    "USAGE:\n"
    "    tessik-browser-host [--chromium <path>] [--browser-log] [--action-timeout <ms>]\n"
    "                        [--navigation-timeout <ms>]\n"
    "\n"
    "Starts the browser, announces 127.0.0.1:<port> and a fresh token in\n"
    "$HOME/.tessik/state/browser-rpc.json, and serves POST /v1/exec until a\n"
    "signal stops it (SIGTERM, SIGINT, SIGHUP, SIGQUIT, or another whose default\n"
    "is to end a process), or until the browser exits.\n"
    "\n"
    "OPTIONS:\n"
    "    --chromium <path>    the browser to run (default: $TESSIK_CHROMIUM, else a\n"
    "                         Chromium or Chrome in its usual place)\n"
    "    --browser-log        let the browser's own messages through to stderr\n"
    "    --action-timeout <ms>\n"
    "                         how long click, type and text wait for their element,\n"
    "                         and a click or submit for the next page (default: 5000)\n"
    "    --navigation-timeout <ms>\n"
    "                         how long navigate, back, forward and reload wait for\n"
    "                         the page to load (default: 30000)\n"
    "    -h, --help           print this help\n";

// The browser's start-up, first tab included.
constexpr auto kStartLimit = std::chrono::seconds(30);
// How long the browser may take to close after it is asked to.
constexpr auto kCloseLimit = std::chrono::seconds(5);
// How long the last lines for standard error may take to go out at the end.
constexpr auto kLogLimit = std::chrono::seconds(1);

int signal_write = -1;

void on_signal(int number) { sys::poke(signal_write, static_cast<char>(number)); }

int fail(Log& log, std::string_view message) {
  log.write("tessik-browser-host: " + std::string(message) + "\n");
  return 1;
}

struct Options {
  std::string chromium;  // empty: look for one
  bool browser_log = false;
  bool help = false;
  Timeouts timeouts;
};

// A whole number of milliseconds from 1 to one hour.
std::expected<std::chrono::milliseconds, std::string> parse_ms(std::string_view option,
                                                               std::string_view text) {
  uint64_t ms = 0;
  bool digits = !text.empty() && text.size() <= 7;
  for (char c : text) {
    if (c < '0' || c > '9') digits = false;
    if (digits) ms = ms * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!digits || ms == 0 || ms > 3600000) {
    return std::unexpected(std::string(option) + " takes milliseconds from 1 to 3600000, not '" +
                           std::string(text) + "'");
  }
  return std::chrono::milliseconds(ms);
}

std::expected<Options, std::string> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--browser-log") {
      options.browser_log = true;
    } else if (arg == "--chromium") {
      if (i + 1 == argc) return std::unexpected(std::string("--chromium requires an argument"));
      options.chromium = argv[++i];
    } else if (arg == "--action-timeout" || arg == "--navigation-timeout") {
      if (i + 1 == argc) return std::unexpected(std::string(arg) + " requires an argument");
      auto ms = parse_ms(arg, argv[++i]);
      if (!ms) return std::unexpected(ms.error());
      (arg == "--action-timeout" ? options.timeouts.action : options.timeouts.navigation) = *ms;
    } else {
      return std::unexpected("unknown argument: '" + std::string(arg) + "' (try --help)");
    }
  }
  return options;
}

struct Listener {
  sys::Fd fd;
  uint16_t port = 0;
  bool deferred = false;  // the system holds connections back until they send
};

std::expected<Listener, std::string> listen_on_loopback() {
  auto socket = sys::tcp_socket();
  if (!socket) {
    return std::unexpected("cannot create a socket: " + sys::os_error_text(socket.error()));
  }
  sys::Fd fd = std::move(*socket);
  auto fail_with = [](std::string what, int error) {
    return std::unexpected(what + ": " + sys::os_error_text(error));
  };
  if (auto set = sys::set_nonblocking(fd.get()); !set) {
    return fail_with("cannot set up the socket", set.error());
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // the system picks a free port
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return fail_with("cannot bind 127.0.0.1", errno);
  }
  // Idle connections then wait in the system, not in the host's places.
  auto deferred = sys::defer_accept(fd.get(), kDeferSeconds);
  if (!deferred) return fail_with("cannot set up the socket", deferred.error());
  if (::listen(fd.get(), kListenBacklog) != 0) return fail_with("cannot listen", errno);
  socklen_t length = sizeof address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return fail_with("cannot read the port", errno);
  }
  return Listener{std::move(fd), ntohs(address.sin_port), *deferred};
}

int run(int argc, char** argv, Log& log) {
  auto fail = [&log](std::string_view message) { return host::fail(log, message); };
  auto options = parse_options(argc, argv);
  if (!options) return fail(options.error());
  if (options->help) return sys::write_all(STDOUT_FILENO, kHelp) ? 0 : 1;
  // A client that goes away mid-reply, or a file at its size limit, must
  // show up as an error, not a signal.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  for (int signal : kIgnoredSignals) {
    if (::sigaction(signal, &ignore, nullptr) != 0) {
      return fail("cannot ignore signals: " + sys::os_error_text(errno));
    }
  }

  auto path = state_file_path();
  if (!path) return fail(path.error());
  // Held until the host exits, so a second host fails here at once.
  auto lock = lock_host(*path);
  if (!lock) return fail(lock.error());
  auto token = make_token();
  if (!token) return fail(token.error());
  auto listener = listen_on_loopback();
  if (!listener) return fail(listener.error());
  sys::Fd& listen_fd = listener->fd;
  uint16_t port = listener->port;

  auto signal_pipe = sys::make_pipe(true);
  if (!signal_pipe) return fail("cannot make a pipe: " + sys::os_error_text(signal_pipe.error()));
  auto abort_pipe = sys::make_pipe(true);
  if (!abort_pipe) return fail("cannot make a pipe: " + sys::os_error_text(abort_pipe.error()));
  signal_write = signal_pipe->write.get();
  struct sigaction action {};
  action.sa_handler = on_signal;
  action.sa_flags = SA_NOCLDSTOP;
  sigemptyset(&action.sa_mask);
  for (int signal : caught_signals()) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      return fail("cannot handle signals: " + sys::os_error_text(errno));
    }
  }

  auto chromium =
      choose_browser(options->chromium, std::getenv("TESSIK_CHROMIUM"), browser_candidates());
  if (!chromium) return fail(chromium.error());
  auto process = launch_browser({*chromium, options->browser_log});
  if (!process) return fail(process.error());
  int status = 0;
  bool browser_exited = false;
  {
    // The connection owns the browser's pipes from now on.
    DevTools devtools(std::move(process->to_browser), std::move(process->from_browser),
                      abort_pipe->read.get());
    Browser browser(devtools, log, options->timeouts);

    auto started = browser.start(Clock::now() + kStartLimit);
    if (!started) {
      status = fail("cannot start the browser: " + started.error());
    } else if (auto written = write_state_file(*path, static_cast<uint32_t>(::getpid()), port,
                                               *token);
               !written) {
      status = fail(written.error());
    } else {
      (void)sys::write_all(STDOUT_FILENO,
                           "listening on 127.0.0.1:" + std::to_string(port) + "\n");
      auto stopped = serve({listen_fd.get(), port, *token, signal_pipe->read.get(),
                            listener->deferred, process->pid, abort_pipe->write.get()},
                           browser, devtools);
      // Clients must stop finding this host before it goes.
      auto removed = remove_state_file(*path, *written);
      if (!removed) status = fail(removed.error());
      if (!stopped) {
        status = fail(stopped.error());
      } else if (*stopped == StopReason::browser_exited) {
        browser_exited = true;
        status = 1;
      }
    }
    listen_fd.reset();
    if (!browser_exited && !devtools.closed()) {
      // The abort pipe holds the byte that stopped the worker; it would cut
      // the close request short.
      sys::drain(abort_pipe->read.get());
      // Answered or not, the browser gets kCloseLimit to go before it is killed.
      auto closing = devtools.call("Browser.close", {}, {}, Clock::now() + kCloseLimit);
      (void)closing;
    }
  }
  std::string how = stop_browser(*process, kCloseLimit);
  if (browser_exited) fail("the browser exited (" + how + ")");
  return status;
}

}  // namespace
}  // namespace tessik::host

int main(int argc, char** argv) {
  tessik::host::Log log;
  // Without its thread, the log writes its lines at the end.
  (void)log.start();
  int status;
  try {
    status = tessik::host::run(argc, argv, log);
  } catch (const std::bad_alloc&) {
    status = tessik::host::fail(log, "out of memory");
  }
  log.finish(tessik::host::Clock::now() + tessik::host::kLogLimit);
  return status;
}
