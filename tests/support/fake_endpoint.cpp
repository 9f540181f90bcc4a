#include "support/fake_endpoint.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "sys/rw.h"
#include "sys/tcp.h"

namespace tessik::testing {

namespace {

[[noreturn]] void broken(const char* what) {
  throw std::runtime_error(std::string("fake endpoint: ") + what + ": " + std::strerror(errno));
}

// Descriptors of the server must not leak into a spawned binary: a child that
// held an accepted connection would keep it from closing.
int tcp_socket() {
  auto fd = sys::tcp_socket();
  if (!fd) broken("socket");
  return fd->release();
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

uint16_t bind_loopback(int fd) {
  sockaddr_in address = loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) broken("bind");
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) broken("getsockname");
  return ntohs(address.sin_port);
}

}  // namespace

int listen_loopback(int backlog, uint16_t& port, int receive_window) {
  int fd = tcp_socket();
  if (receive_window > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_window, sizeof receive_window);
  }
  port = bind_loopback(fd);
  if (listen(fd, backlog) != 0) broken("listen");
  return fd;
}

int connect_loopback(int port) {
  auto socket = sys::tcp_socket();
  if (!socket) return -1;
  int fd = socket->release();
  sockaddr_in address = loopback(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

namespace {

// A small receive window, so that a request that is not read soon fills it
// and the client's send has to wait.
int open_listener(int backlog, uint16_t& port) { return listen_loopback(backlog, port, 16 * 1024); }

// Connects clients to a listener with backlog 0 until one stays pending: the
// queue is then full and further connection requests are dropped, so their
// connect neither succeeds nor fails. Returns the established clients.
std::vector<int> fill_backlog(uint16_t port) {
  std::vector<int> established;
  for (int attempt = 0; attempt < 64; ++attempt) {
    int fd = tcp_socket();
    if (!sys::set_nonblocking(fd)) broken("ioctl");
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
      broken("connect");
    }
    pollfd entry{fd, POLLOUT, 0};
    int ready;
    while ((ready = poll(&entry, 1, 200)) < 0 && errno == EINTR) {
    }
    if (ready == 0) {
      close(fd);  // a pending attempt: the backlog is full
      return established;
    }
    established.push_back(fd);
  }
  throw std::runtime_error("fake endpoint: the backlog never filled");
}

enum class Waited { ready, timeout, stopped };

// Waits until `fd` (none when negative) has `events`, a byte arrives on `stop`,
// or `limit` passes.
Waited wait_for(int fd, short events, int stop, milliseconds limit) {
  pollfd entries[2] = {{stop, POLLIN, 0}, {fd, events, 0}};
  const nfds_t count = fd < 0 ? 1 : 2;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline -
                                                         std::chrono::steady_clock::now());
    if (left.count() < 0) return Waited::timeout;
    int ready = poll(entries, count, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) broken("poll");
    if (entries[0].revents) return Waited::stopped;
    if (count == 2 && entries[1].revents) return Waited::ready;
  }
}

// Waits `time` unless stopped first; false when stopped.
bool pause_for(int stop, milliseconds time) {
  return time.count() <= 0 || wait_for(-1, 0, stop, time) != Waited::stopped;
}

constexpr milliseconds kPatience{10000};

// The request head and as many body bytes as its Content-Length names (or
// whatever came before the client stopped sending).
std::string read_request(int fd, int stop) {
  std::string got;
  size_t want = std::string::npos;
  char buffer[64 * 1024];
  while (want == std::string::npos || got.size() < want) {
    if (wait_for(fd, POLLIN, stop, kPatience) != Waited::ready) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buffer, static_cast<size_t>(n));
    if (want != std::string::npos) continue;
    size_t head_end = got.find("\r\n\r\n");
    if (head_end == std::string::npos) continue;
    std::string head = got.substr(0, head_end);
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t length = 0;
    size_t at = head.find("\r\ncontent-length:");
    if (at != std::string::npos) length = std::strtoull(head.c_str() + at + 17, nullptr, 10);
    want = head_end + 4 + length;
  }
  return got;
}

bool send_all(int fd, std::string_view bytes) {
#if defined(MSG_NOSIGNAL) && !defined(TESSIK_FORCE_PORTABLE)
  const int flags = MSG_NOSIGNAL;
#else
  const int flags = 0;
#endif
  while (!bytes.empty()) {
    ssize_t n = send(fd, bytes.data(), bytes.size(), flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the client went away
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::string http_reply(std::string_view body, std::string_view status) {
  std::string reply = "HTTP/1.1 ";
  reply.append(status);
  reply.append("\r\nContent-Type: application/json\r\nContent-Length: ");
  reply.append(std::to_string(body.size()));
  reply.append("\r\nConnection: close\r\n\r\n");
  reply.append(body);
  return reply;
}

FakeEndpoint::FakeEndpoint(std::vector<Script> scripts)
    : FakeEndpoint(std::move(scripts), milliseconds(0)) {}

// Moved, not copied through an initializer list: a script may be large.
FakeEndpoint::FakeEndpoint(Script script)
    : FakeEndpoint([&] {
        std::vector<Script> one;
        one.push_back(std::move(script));
        return one;
      }()) {}

FakeEndpoint::FakeEndpoint(std::vector<Script> scripts, milliseconds accept_after)
    : scripts_(std::move(scripts)), accept_after_(accept_after) {
  // The program ignores SIGPIPE from its start; the exchange runs here in the
  // test process and relies on the same.
  std::signal(SIGPIPE, SIG_IGN);
  listener_ = open_listener(accept_after_.count() > 0 ? 0 : 16, port_);
  if (accept_after_.count() > 0) fillers_ = fill_backlog(port_);
  auto stop = sys::make_pipe();
  if (!stop) broken("pipe");
  stop_ = std::move(*stop);
  // Signals that a test sends to itself must land on the test's thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  thread_ = std::thread([this] { serve(); });
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

FakeEndpoint::~FakeEndpoint() {
  sys::poke(stop_.write.get());
  thread_.join();
  for (int fd : fillers_) close(fd);
  close(listener_);
}

std::string FakeEndpoint::request(size_t index, milliseconds patience) {
  std::unique_lock lock(mutex_);
  if (!recorded_.wait_for(lock, patience, [&] { return requests_.size() > index; })) {
    return "<no request>";
  }
  return requests_[index];
}

void FakeEndpoint::serve() {
  if (accept_after_.count() > 0) {
    if (!pause_for(stop_.read.get(), accept_after_)) return;
    // Make room: take the clients that filled the queue off it.
    for (size_t i = 0; i < fillers_.size(); ++i) {
      int fd = accept(listener_, nullptr, nullptr);
      if (fd >= 0) close(fd);
    }
  }
  for (const Script& script : scripts_) {
    if (wait_for(listener_, POLLIN, stop_.read.get(), milliseconds(60000)) != Waited::ready) {
      return;
    }
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    if (!sys::set_cloexec(fd)) broken("fcntl");

    std::string request;
    bool going = pause_for(stop_.read.get(), script.read_after);
    if (going && script.read_request) request = read_request(fd, stop_.read.get());
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    recorded_.notify_all();

    std::string_view rest = script.reply;
    const size_t piece = script.piece ? script.piece : rest.size();
    while (going && !rest.empty()) {
      std::string_view now = rest.substr(0, piece);
      rest.remove_prefix(now.size());
      going = send_all(fd, now) && (rest.empty() || pause_for(stop_.read.get(), script.pause));
    }
    if (going) pause_for(stop_.read.get(), script.hold);
    if (script.reset) {
      linger abort{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    close(fd);
  }
}

FullBacklog::FullBacklog() {
  std::signal(SIGPIPE, SIG_IGN);
  listener_ = open_listener(0, port_);
  fillers_ = fill_backlog(port_);
}

FullBacklog::~FullBacklog() {
  for (int fd : fillers_) close(fd);
  close(listener_);
}

DeadPort::DeadPort() {
  // Bound but not listening: a connection request gets a reset at once.
  fd_ = tcp_socket();
  port_ = bind_loopback(fd_);
}

DeadPort::~DeadPort() { close(fd_); }

}  // namespace tessik::testing
