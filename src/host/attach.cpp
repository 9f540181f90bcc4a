#include "host/attach.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>

#include "host/json_read.h"
#include "host/messages.h"
#include "host/number.h"
#include "host/websocket.h"
#include "json/reader.h"
#include "sys/os_error.h"
#include "sys/rw.h"
#include "sys/tcp.h"

namespace tessik::host {

namespace {

using Clock = std::chrono::steady_clock;

// The longest answer the browser's HTTP side gives us.
constexpr size_t kMaxAnswer = 64 * 1024;
// How long each browser found by `auto` gets to answer.
constexpr auto kAnswerLimit = std::chrono::seconds(3);

std::unexpected<std::string> refused_remote(std::string_view host) {
  return std::unexpected(msg::refused_remote(host));
}

std::expected<uint16_t, std::string> parse_port(std::string_view text) {
  std::optional<uint64_t> port = whole_number(text, 1, 65535);
  if (!port) return std::unexpected(msg::not_a_port(text));
  return static_cast<uint16_t>(*port);
}

// Ends a wait for the socket at `deadline`.
std::expected<void, std::string> await(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, sys::poll_timeout(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return std::unexpected(sys::os_error_text(errno));
    if (ready == 0) return std::unexpected(std::string(msg::kNoAnswerInTime));
    return {};
  }
}

std::expected<sys::Fd, std::string> connect_to(const Endpoint& endpoint,
                                               Clock::time_point deadline) {
  auto opened = sys::tcp_socket(endpoint.ipv6);
  if (!opened) return std::unexpected(sys::os_error_text(opened.error()));
  sys::Fd socket = std::move(*opened);
  if (auto set = sys::set_nonblocking(socket.get()); !set) {
    return std::unexpected(sys::os_error_text(set.error()));
  }
  sockaddr_storage storage{};
  socklen_t length = 0;
  if (endpoint.ipv6) {
    auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
    address->sin6_family = AF_INET6;
    address->sin6_port = htons(endpoint.port);
    address->sin6_addr = in6addr_loopback;
    length = sizeof *address;
  } else {
    auto* address = reinterpret_cast<sockaddr_in*>(&storage);
    address->sin_family = AF_INET;
    address->sin_port = htons(endpoint.port);
    if (::inet_pton(AF_INET, endpoint.address.c_str(), &address->sin_addr) != 1) {
      return std::unexpected(std::string(msg::kNotAnAddress));
    }
    length = sizeof *address;
  }
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&storage), length) == 0) return socket;
  if (errno != EINPROGRESS && errno != EINTR) return std::unexpected(sys::os_error_text(errno));
  if (auto waited = await(socket.get(), POLLOUT, deadline); !waited) {
    return std::unexpected(waited.error());
  }
  int pending = 0;
  socklen_t size = sizeof pending;
  if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &pending, &size) != 0) {
    return std::unexpected(sys::os_error_text(errno));
  }
  if (pending != 0) return std::unexpected(sys::os_error_text(pending));
  return socket;
}

struct Answer {
  std::string head;  // status line and headers, without the empty line
  std::string rest;  // what came after it
};

// Sends `request` and reads the answer's head, then, when `whole`, its body
// up to its Content-Length or the end of the stream.
std::expected<Answer, std::string> exchange(int fd, std::string_view request, bool whole,
                                            Clock::time_point deadline) {
  if (auto written = sys::write_all(fd, request, {deadline, -1}); !written) {
    return std::unexpected(sys::os_error_text(written.error()));
  }
  std::string got;
  size_t head_end = std::string::npos;
  size_t wanted = std::string::npos;
  for (;;) {
    if (head_end == std::string::npos) {
      head_end = got.find("\r\n\r\n");
      if (head_end != std::string::npos) {
        if (!whole) break;
        std::string lower = got.substr(0, head_end);
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (size_t at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
          wanted = head_end + 4 + std::strtoul(lower.c_str() + at + 17, nullptr, 10);
        }
      }
    }
    if (head_end != std::string::npos && got.size() >= wanted) break;
    if (got.size() >= kMaxAnswer) return std::unexpected(std::string(msg::kAnswerTooLong));
    if (auto waited = await(fd, POLLIN, deadline); !waited) return std::unexpected(waited.error());
    char chunk[4096];
    sys::IoResult read = sys::read_some(fd, chunk);
    if (read.kind == sys::IoResult::Kind::would_block) continue;
    if (read.kind == sys::IoResult::Kind::error) {
      return std::unexpected(sys::os_error_text(read.error));
    }
    if (read.kind == sys::IoResult::Kind::closed) {
      if (head_end != std::string::npos && whole) break;
      return std::unexpected(std::string(msg::kClosedBeforeAnswer));
    }
    got.append(chunk, read.count);
  }
  return Answer{got.substr(0, head_end), got.substr(head_end + 4)};
}

// The value of header `name` (lower case) in `head`; empty when missing.
std::string header(std::string_view head, std::string_view name) {
  size_t line = head.find("\r\n");
  while (line != std::string_view::npos) {
    size_t start = line + 2;
    line = head.find("\r\n", start);
    std::string_view text = head.substr(start, line == std::string_view::npos ? line : line - start);
    size_t colon = text.find(':');
    if (colon != name.size()) continue;
    bool same = true;
    for (size_t i = 0; i < colon; ++i) {
      same = same && std::tolower(static_cast<unsigned char>(text[i])) == name[i];
    }
    if (!same) continue;
    std::string_view value = text.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return std::string(value);
  }
  return {};
}

bool status_is(std::string_view head, std::string_view code) {
  return head.starts_with("HTTP/1.1 " + std::string(code)) ||
         head.starts_with("HTTP/1.0 " + std::string(code));
}

// The browser's WebSocket path, from its /json/version.
std::expected<std::string, std::string> ask_path(const Endpoint& endpoint,
                                                 Clock::time_point deadline) {
  auto socket = connect_to(endpoint, deadline);
  if (!socket) return std::unexpected(socket.error());
  auto answer = exchange(socket->get(),
                         "GET /json/version HTTP/1.1\r\nHost: " + endpoint.shown() +
                             "\r\nConnection: close\r\n\r\n",
                         true, deadline);
  if (!answer) return std::unexpected(answer.error());
  if (!status_is(answer->head, "200")) {
    return std::unexpected(msg::version_answered(answer->head.substr(0, answer->head.find('\r'))));
  }
  auto doc = parse_json(std::string_view(answer->rest));
  std::string_view url = doc ? string_member(doc->root(), "webSocketDebuggerUrl") : "";
  if (url.empty()) return std::unexpected(std::string(msg::kNoDebuggerUrl));
  auto named = parse_endpoint(url);
  if (!named) return std::unexpected(named.error());
  return named->path;
}

std::expected<std::unique_ptr<Transport>, std::string> upgrade(const Endpoint& endpoint,
                                                               Clock::time_point deadline) {
  auto socket = connect_to(endpoint, deadline);
  if (!socket) return std::unexpected(socket.error());
  std::random_device random;
  std::string nonce;
  for (int i = 0; i < 4; ++i) {
    uint32_t word = random();
    nonce.append(reinterpret_cast<const char*>(&word), sizeof word);
  }
  std::string key = base64(nonce);
  auto answer = exchange(socket->get(),
                         "GET " + endpoint.path + " HTTP/1.1\r\nHost: " + endpoint.shown() +
                             "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Key: " + key + "\r\nSec-WebSocket-Version: 13\r\n\r\n",
                         false, deadline);
  if (!answer) return std::unexpected(answer.error());
  if (!status_is(answer->head, "101")) {
    return std::unexpected(msg::upgrade_answered(answer->head.substr(0, answer->head.find('\r'))));
  }
  if (header(answer->head, "sec-websocket-accept") != websocket_accept(key)) {
    return std::unexpected(std::string(msg::kWrongAccept));
  }
  return websocket_transport(std::move(*socket), answer->rest);
}

std::expected<std::unique_ptr<Transport>, std::string> attach_to(Endpoint endpoint,
                                                                 Clock::time_point deadline) {
  if (endpoint.path.empty()) {
    auto path = ask_path(endpoint, deadline);
    if (!path) return std::unexpected(path.error());
    endpoint.path = std::move(*path);
  }
  return upgrade(endpoint, deadline);
}

}  // namespace

std::string Endpoint::shown() const {
  return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::expected<Endpoint, std::string> parse_endpoint(std::string_view text) {
  Endpoint endpoint;
  endpoint.address = "127.0.0.1";
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
    auto port = parse_port(text);
    if (!port) return std::unexpected(msg::because(msg::kAttachOption, port.error()));
    endpoint.port = *port;
    return endpoint;
  }
  const std::string_view scheme = "ws://";
  if (!text.starts_with(scheme)) {
    return std::unexpected(msg::not_an_endpoint(text));
  }
  std::string_view rest = text.substr(scheme.size());
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  endpoint.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  std::string_view host;
  std::string_view port;
  if (authority.starts_with('[')) {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::unexpected(msg::bad_url(text));
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.starts_with(':')) return std::unexpected(msg::url_without_port(text));
    port = after.substr(1);
    endpoint.ipv6 = true;
  } else {
    size_t colon = authority.rfind(':');
    if (colon == std::string_view::npos) return std::unexpected(msg::url_without_port(text));
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  auto number = parse_port(port);
  if (!number) return std::unexpected(msg::because(msg::kAttachOption, number.error()));
  endpoint.port = *number;
  if (endpoint.ipv6) {
    in6_addr address{};
    if (::inet_pton(AF_INET6, std::string(host).c_str(), &address) != 1 ||
        !IN6_IS_ADDR_LOOPBACK(&address)) {
      return refused_remote(host);
    }
    endpoint.address = "::1";
  } else if (host != "localhost") {
    in_addr address{};
    if (::inet_pton(AF_INET, std::string(host).c_str(), &address) != 1 ||
        (ntohl(address.s_addr) >> 24) != 127) {
      return refused_remote(host);
    }
    endpoint.address = std::string(host);
  }
  return endpoint;
}

std::expected<Endpoint, std::string> parse_active_port(std::string_view text) {
  size_t end = text.find('\n');
  auto port = parse_port(text.substr(0, end));
  if (!port) return std::unexpected(port.error());
  std::string_view path = end == std::string_view::npos ? "" : text.substr(end + 1);
  path = path.substr(0, path.find('\n'));
  if (!path.starts_with('/')) return std::unexpected(std::string(msg::kNoPathOnLine2));
  Endpoint endpoint;
  endpoint.address = "127.0.0.1";
  endpoint.port = *port;
  endpoint.path = std::string(path);
  return endpoint;
}

std::vector<std::string> profile_folders(const char* home, const char* config_home) {
  std::string base = home ? home : "";
  std::vector<std::string> folders;
#if defined(__APPLE__)
  (void)config_home;
  for (const char* name : {"Google/Chrome", "Google/Chrome Beta", "Google/Chrome Canary",
                           "Chromium"}) {
    folders.push_back(base + "/Library/Application Support/" + name);
  }
#else
  // Chrome and Chromium keep their profiles where XDG says configuration goes.
  std::string config = config_home && config_home[0] == '/' ? config_home : base + "/.config";
  for (const char* name : {"google-chrome", "google-chrome-beta", "google-chrome-unstable",
                           "chromium"}) {
    folders.push_back(config + "/" + name);
  }
#endif
  return folders;
}

std::expected<std::unique_ptr<Transport>, std::string> attach_browser(
    std::string_view endpoint, Clock::time_point deadline) {
  if (endpoint != "auto") {
    auto parsed = parse_endpoint(endpoint);
    if (!parsed) return std::unexpected(parsed.error());
    auto attached = attach_to(*parsed, deadline);
    if (!attached) {
      return std::unexpected(msg::cannot_attach(parsed->shown(), attached.error()));
    }
    return attached;
  }
  std::string looked;
  for (const std::string& folder : profile_folders(std::getenv("HOME"), std::getenv("XDG_CONFIG_HOME"))) {
    looked += (looked.empty() ? "" : ", ") + folder;
    std::string file = folder + "/DevToolsActivePort";
    auto text = sys::read_file(file.c_str(), 4096);
    if (!text) continue;
    auto parsed = parse_active_port(*text);
    if (!parsed) continue;
    auto attached = attach_to(*parsed, std::min(deadline, Clock::now() + kAnswerLimit));
    // A file left by a browser that has gone names a port nobody answers on.
    if (attached) return attached;
  }
  return std::unexpected(msg::found_no_browser(looked));
}

}  // namespace tessik::host
