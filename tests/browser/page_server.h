#pragma once
// The test pages over HTTP on a loopback port, for what file:// pages do
// not show: frames of one origin and another, a resource held back, the
// caches a browser keeps only for the web.

#include <cerrno>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/fake_endpoint.h"
#include "sys/fd.h"
#include "sys/rw.h"

namespace tessik::testing {

// Serves the files beside this one on a loopback port. /held.png is answered
// only when the server stops, so a page that shows it never finishes loading;
// /late/<name> is <name> a second late.
class PageServer {
 public:
  PageServer() {
    uint16_t port = 0;
    listener_ = listen_loopback(64, port);
    auto stop = sys::make_pipe();
    if (!stop) throw std::runtime_error("cannot serve the pages");
    stop_ = std::move(*stop);
    port_ = port;
    acceptor_ = std::thread([this] { accept_all(); });
  }

  ~PageServer() {
    sys::poke(stop_.write.get());  // ends the acceptor and every held reply
    acceptor_.join();
    for (auto& t : handlers_) t.join();
    ::close(listener_);
  }

  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
  }

 private:
  // Waits for `fd` to turn readable; false once the server stops.
  bool readable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_.read.get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0) {
      if (errno != EINTR) return false;
    }
    return !(fds[1].revents & POLLIN);
  }

  void accept_all() {
    while (readable(listener_)) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      handlers_.emplace_back([this, fd] { answer(fd); });
    }
  }

  void answer(int fd) {
    std::string request;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos && readable(fd)) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    std::istringstream line(request);
    std::string method, target;
    line >> method >> target;
    std::string path = target.substr(0, target.find_first_of("?#"));
    if (path.starts_with("/late/")) {
      path = path.substr(5);
      pollfd none{stop_.read.get(), POLLIN, 0};
      while (::poll(&none, 1, 1000) < 0 && errno == EINTR) {
      }
    }
    std::string status = "200 OK", type = "text/html; charset=utf-8", body;
    if (path == "/held.png") {
      readable(fd);  // until the browser gives up on it or the server stops
      status = "404 Not Found";
    } else if (path.find("..") != std::string::npos || path.size() < 2) {
      status = "404 Not Found";
    } else {
      std::ifstream in(std::string(TESSIK_BROWSER_PAGES) + path, std::ios::binary);
      std::ostringstream text;
      text << in.rdbuf();
      body = text.str();
      if (!in) status = "404 Not Found";
    }
    std::string reply = "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
    for (size_t sent = 0; sent < reply.size();) {
      ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::close(fd);
  }

  int listener_ = -1;
  sys::Pipe stop_;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> handlers_;  // touched by the acceptor alone until it has ended
};

}  // namespace tessik::testing
