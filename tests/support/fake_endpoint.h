#pragma once
// A scripted stand-in for the application's endpoint: a loopback server in the
// test process that answers each connection as its script says, faults
// included, and records the raw request bytes it read.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "sys/fd.h"

namespace tessik::testing {

using std::chrono::milliseconds;

// How the server answers one connection.
struct Script {
  std::string reply;              // sent as it is (see http_reply)
  bool read_request = true;       // false: never read a byte of the request
  milliseconds read_after{0};     // wait before reading the request
  size_t piece = 0;               // send the reply in pieces of this many bytes...
  milliseconds pause{0};          // ...with this pause after each piece
  milliseconds hold{0};           // keep the connection open this long after the reply
  bool reset = false;             // end with a reset (RST) instead of a close
};

// A status line, the usual headers with a matching Content-Length, and `body`.
std::string http_reply(std::string_view body, std::string_view status = "200 OK");

// Serves one connection per script, in order, on 127.0.0.1 at an ephemeral port.
class FakeEndpoint {
 public:
  explicit FakeEndpoint(std::vector<Script> scripts);
  explicit FakeEndpoint(Script script);
  // Like the above, but the backlog is kept full for `accept_after` first, so a
  // connect to it stays pending that long.
  FakeEndpoint(std::vector<Script> scripts, milliseconds accept_after);
  ~FakeEndpoint();
  FakeEndpoint(const FakeEndpoint&) = delete;
  FakeEndpoint& operator=(const FakeEndpoint&) = delete;

  uint16_t port() const { return port_; }
  // The bytes read on connection `index` (head and Content-Length body); waits
  // up to `patience` for them, "<no request>" when none came.
  std::string request(size_t index = 0, milliseconds patience = milliseconds(10000));

 private:
  void serve();

  std::vector<Script> scripts_;
  milliseconds accept_after_{0};
  std::vector<int> fillers_;  // client sockets that keep the backlog full
  int listener_ = -1;
  sys::Pipe stop_;  // a byte on its write end ends every wait of the server
  uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable recorded_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

// A listener that never accepts, with its backlog full: connects to it neither
// succeed nor fail.
class FullBacklog {
 public:
  FullBacklog();
  ~FullBacklog();
  FullBacklog(const FullBacklog&) = delete;
  FullBacklog& operator=(const FullBacklog&) = delete;
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  std::vector<int> fillers_;
  uint16_t port_ = 0;
};

// A close-on-exec socket listening on 127.0.0.1 at a free port, which goes
// to `port`; with a receive window of that many bytes when above 0. Throws
// std::runtime_error when it cannot.
int listen_loopback(int backlog, uint16_t& port, int receive_window = 0);

// A connection to 127.0.0.1:port, or -1.
int connect_loopback(int port);

// A port that nothing listens on (held bound so nobody else takes it).
class DeadPort {
 public:
  DeadPort();
  ~DeadPort();
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// The request the client must send, written out here rather than taken from
// the client's own formatter, so that a fault there cannot hide itself.
inline std::string expected_wire(std::string_view token, std::string_view length,
                                 std::string_view body) {
  std::string w = "POST /v1/exec HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer ";
  w += token;
  w += "\r\nContent-Type: application/json\r\nContent-Length: ";
  w += length;
  w += "\r\nConnection: close\r\n\r\n";
  w += body;
  return w;
}

}  // namespace tessik::testing
