// tessik-browser-host: the endpoint that tessik-browser talks to, backed by a
// headless Chromium driven over its debugging pipe.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "host/attach.h"
#include "host/messages.h"
#include "host/browser.h"
#include "host/chromium.h"
#include "host/devtools.h"
#include "host/log.h"
#include "host/number.h"
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
    "                        [--navigation-timeout <ms>] [--window-size <W>x<H>]\n"
    "                        [--profile <dir>] [--headed] [--browser-arg <arg>]...\n"
    "    tessik-browser-host --attach <port|ws-url|auto> [--action-timeout <ms>]\n"
    "                        [--navigation-timeout <ms>] [--window-size <W>x<H>]\n"
    "\n"
    "Starts the browser, announces 127.0.0.1:<port> and a fresh token in\n"
    "$HOME/.tessik/state/browser-rpc.json, and serves POST /v1/exec until a\n"
    "signal stops it (SIGTERM, SIGINT, SIGHUP, SIGQUIT, or another whose default\n"
    "is to end a process), or until the browser exits.\n"
    "With --attach it drives a browser that runs already and leaves it running.\n"
    "\n"
    "OPTIONS:\n"
    "    --chromium <path>    the browser to run (default: $TESSIK_CHROMIUM, else a\n"
    "                         Chromium or Chrome in its usual place)\n"
    "    --browser-log        let the browser's own messages through to stderr\n"
    "    --attach <port|ws-url|auto>\n"
    "                         drive the Chrome or Chromium started with\n"
    "                         --remote-debugging-port on this machine: its port,\n"
    "                         its ws://127.0.0.1:<port>/devtools/browser/<id> URL,\n"
    "                         or auto (the DevToolsActivePort file in its profile);\n"
    "                         its tabs become widgets; it is never closed\n"
    "    --action-timeout <ms>\n"
    "                         how long click, type and text wait for their element,\n"
    "                         and then, counted afresh from the press, a click or\n"
    "                         submit for the next page (default: 5000)\n"
    "    --navigation-timeout <ms>\n"
    "                         how long navigate, back, forward and reload wait for\n"
    "                         the page to load (default: 30000)\n"
    "    --window-size <W>x<H>\n"
    "                         each tab's viewport in CSS pixels (default: 1280x720;\n"
    "                         with --attach, the window's own)\n"
    "    --profile <dir>      keep the browser's profile (cookies, storage, history)\n"
    "                         in <dir>, made 0700 if missing, one host at a time\n"
    "                         (default: a fresh one, removed at exit)\n"
    "    --headed             show the browser's window (needs a display)\n"
    "    --browser-arg <arg>  pass <arg> to the browser after the host's own flags;\n"
    "                         may be given more than once\n"
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
  std::string profile;  // empty: a throwaway one
  bool headed = false;
  std::vector<std::string> browser_args;
  std::string attach;       // empty: launch a browser
  std::string launch_only;  // the first option that only a launch takes
  // Unset: 1280x720 for a launched browser, the window as it is for one attached to.
  std::optional<WindowSize> window;
};

// A whole number of milliseconds from 1 to one hour.
std::expected<std::chrono::milliseconds, std::string> parse_ms(std::string_view option,
                                                               std::string_view text) {
  std::optional<uint64_t> ms = whole_number(text, 1, 3600000);
  if (!ms) {
    return std::unexpected(std::string(option) + " takes milliseconds from 1 to 3600000, not '" +
                           std::string(text) + "'");
  }
  return std::chrono::milliseconds(*ms);
}

// A width and a height, each a whole number of pixels from 1 to 10000,
// written as 1280x720.
std::expected<WindowSize, std::string> parse_size(std::string_view text) {
  size_t x = text.find('x');
  std::optional<uint64_t> width, height;
  if (x != std::string_view::npos) {
    width = whole_number(text.substr(0, x), 1, 10000);
    height = whole_number(text.substr(x + 1), 1, 10000);
  }
  if (!width || !height) return std::unexpected(msg::not_a_window_size(text));
  return WindowSize{static_cast<uint32_t>(*width), static_cast<uint32_t>(*height)};
}

std::expected<Options, std::string> parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--browser-log") {
      options.browser_log = true;
      if (options.launch_only.empty()) options.launch_only = arg;
    } else if (arg == "--chromium" || arg == "--attach") {
      if (i + 1 == argc) return std::unexpected(std::string(arg) + " requires an argument");
      (arg == "--chromium" ? options.chromium : options.attach) = argv[++i];
      if (arg == "--chromium" && options.launch_only.empty()) options.launch_only = arg;
    } else if (arg == "--window-size") {
      if (i + 1 == argc) return std::unexpected(msg::requires_argument("--window-size"));
      auto size = parse_size(argv[++i]);
      if (!size) return std::unexpected(size.error());
      options.window = *size;
    } else if (arg == "--action-timeout" || arg == "--navigation-timeout") {
      if (i + 1 == argc) return std::unexpected(std::string(arg) + " requires an argument");
      auto ms = parse_ms(arg, argv[++i]);
      if (!ms) return std::unexpected(ms.error());
      (arg == "--action-timeout" ? options.timeouts.action : options.timeouts.navigation) = *ms;
    } else if (arg == "--profile") {
      if (i + 1 == argc || !*argv[i + 1]) {
        return std::unexpected(std::string(msg::kProfileNeedsFolder));
      }
      options.profile = argv[++i];
      if (options.launch_only.empty()) options.launch_only = arg;
    } else if (arg == "--headed") {
      options.headed = true;
      if (options.launch_only.empty()) options.launch_only = arg;
    } else if (arg == "--browser-arg") {
      if (i + 1 == argc) return std::unexpected(msg::requires_argument("--browser-arg"));
      options.browser_args.emplace_back(argv[++i]);
      if (options.launch_only.empty()) options.launch_only = arg;
    } else {
      return std::unexpected(msg::unknown_argument(arg));
    }
  }
  if (!options.attach.empty() && !options.launch_only.empty()) {
    return std::unexpected(options.launch_only +
                           " applies to a browser the host starts, not to one it attaches to");
  }
  return options;
}

// What the options ask for and cannot have, whatever the browser would say.
std::expected<void, std::string> check_options(const Options& options) {
#if defined(__APPLE__)
  (void)options;  // a Mac has a display for a window
#else
  auto set = [](const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
  };
  // Without one the browser fails long after its start, with pages of log.
  if (options.headed && !set("DISPLAY") && !set("WAYLAND_DISPLAY")) {
    return std::unexpected(std::string(msg::kNoDisplay));
  }
#endif
  return {};
}


struct Listener {
  sys::Fd fd;
  uint16_t port = 0;
  bool deferred = false;  // the system holds connections back until they send
};

std::expected<Listener, std::string> listen_on_loopback() {
  auto socket = sys::tcp_socket();
  if (!socket) {
    return std::unexpected(msg::because(msg::kCannotCreateSocket, sys::os_error_text(socket.error())));
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
  if (auto checked = check_options(*options); !checked) return fail(checked.error());
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

  // A launched browser, or the transport to one that runs already.
  std::optional<BrowserProcess> process;
  std::unique_ptr<Transport> transport;
  if (!options->attach.empty()) {
    auto attached = attach_browser(options->attach, Clock::now() + kStartLimit);
    if (!attached) return fail(attached.error());
    transport = std::move(*attached);
  } else {
    auto chromium =
        choose_browser(options->chromium, std::getenv("TESSIK_CHROMIUM"), browser_candidates());
    if (!chromium) return fail(chromium.error());
    auto launched = launch_browser({*chromium, options->browser_log, options->profile,
                                    options->headed, options->browser_args});
    if (!launched) return fail(launched.error());
    process = std::move(*launched);
    transport = pipe_transport(std::move(process->to_browser), std::move(process->from_browser));
  }
  int status = 0;
  bool browser_exited = false;
  {
    // The connection owns the browser's pipes or socket from now on.
    DevTools devtools(std::move(transport), abort_pipe->read.get());
    // An attached browser's windows keep their size unless one is asked for.
    WindowSize window = options->window.value_or(options->attach.empty() ? WindowSize{}
                                                                           : WindowSize{0, 0});
    Browser browser(devtools, log, options->timeouts, window);

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
                            listener->deferred, process ? process->pid : -1,
                            abort_pipe->write.get(), process ? kBrowserExited : kBrowserGone},
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
    // A browser the host attached to is someone else's: it is left running.
    if (process && !browser_exited && !devtools.closed()) {
      // The abort pipe holds the byte that stopped the worker; it would cut
      // the close request short.
      sys::drain(abort_pipe->read.get());
      // Answered or not, the browser gets kCloseLimit to go before it is killed.
      auto closing = devtools.call("Browser.close", {}, {}, Clock::now() + kCloseLimit);
      (void)closing;
    }
  }
  if (!process) {
    if (browser_exited) fail(kBrowserGone);
    return status;
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
