#pragma once
// Attaching to a Chrome or Chromium that runs already with its debugging
// port open: where it listens, and the WebSocket to it. Only the loopback
// interface: the debugging protocol has no authentication.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/transport.h"

namespace tessik::host {

struct Endpoint {
  bool ipv6 = false;
  std::string address;  // numeric: "127.0.0.1", "::1"
  uint16_t port = 0;
  std::string path;     // the browser's WebSocket; empty: ask its /json/version
  std::string shown() const;  // "127.0.0.1:9222", "[::1]:9222"
};

// ENDPOINT as --attach takes it: a port on 127.0.0.1, or a ws:// URL whose
// host is a loopback address or localhost.
std::expected<Endpoint, std::string> parse_endpoint(std::string_view text);

// What a browser's DevToolsActivePort file says: its port, then its
// WebSocket's path.
std::expected<Endpoint, std::string> parse_active_port(std::string_view text);

// The profile folders of Chrome and Chromium where a running one leaves its
// DevToolsActivePort, in the order they are tried.
std::vector<std::string> profile_folders(const char* home, const char* config_home);

// Connects to `endpoint` ("auto": the first browser of profile_folders()
// that answers) and upgrades to a WebSocket, by `deadline`.
std::expected<std::unique_ptr<Transport>, std::string> attach_browser(
    std::string_view endpoint, std::chrono::steady_clock::time_point deadline);

}  // namespace tessik::host
