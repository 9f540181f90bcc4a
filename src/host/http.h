#pragma once
// Just enough HTTP/1.1 for one request per connection: finding and reading a
// request head, every rule that refuses one, and forming a reply.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace tessik::host {

// Largest request head read; a longer one is refused.
inline constexpr size_t kMaxHeadBytes = 64 * 1024;
// Largest request body accepted.
inline constexpr size_t kMaxBodyBytes = 16 * 1024 * 1024;

struct RequestHead {
  std::string method;
  std::string path;  // the request target without its query
  std::optional<std::string> authorization;
  std::optional<std::string> host;
  bool has_origin = false;  // sent by browsers for a page's own requests
  // Content-Length; more than kMaxBodyBytes is held as kMaxBodyBytes + 1.
  std::optional<size_t> content_length;
  bool has_transfer_encoding = false;
  bool expects_continue = false;
};

// The offset just past the empty line that ends the head in `bytes`, or npos
// while it has not arrived. Lines may end with CR LF or a bare LF.
size_t find_head_end(std::string_view bytes);

// Reads a head (request line and header lines, the empty line included).
std::expected<RequestHead, std::string> parse_request_head(std::string_view head);

// True when the Authorization value is "Bearer " and `token`; the time taken
// does not depend on where the first difference lies.
bool bearer_matches(const std::optional<std::string>& authorization, std::string_view token);

// What becomes of a request whose head has arrived: refused with `status`
// (`error` for its envelope, `headers` to add, each ended by CR LF), or,
// with status 0, taken: its body of `body_length` bytes starts at `head_end`.
struct HeadVerdict {
  int status = 0;
  std::string error;
  std::string_view headers;
  size_t head_end = 0;
  size_t body_length = 0;
  bool expects_continue = false;  // the client waits for "100 Continue"
};

// Judges the head at the start of `input`, the bytes received so far, for a
// host that serves POST /v1/exec on 127.0.0.1:`port` to bearers of `token`;
// nothing while the head may still be arriving.
std::optional<HeadVerdict> judge_request_head(std::string_view input, std::string_view token,
                                              uint16_t port);

// What becomes of a request whose body of the announced length has arrived:
// refused (a body that is not UTF-8 cannot go to the browser), or nothing.
std::optional<HeadVerdict> judge_request_body(std::string_view body);

// Request bytes as a reply may show them: printable ASCII as it is, a
// backslash and every other byte escaped (\\, \xNN), at most `limit`
// bytes of the request shown, then "...".
std::string shown_request_bytes(std::string_view bytes, size_t limit = 40);

// The bytes every reply starts with, whatever its status.
inline constexpr std::string_view kReplyStart = "HTTP/1.1 ";

// A whole reply: status line, Content-Type, Content-Length, Connection: close,
// `extra_headers` (each ended by CR LF), the empty line and the body.
std::string format_reply(int status, std::string_view body, std::string_view extra_headers = {});
// The same without its body, for one of `body_length` bytes.
std::string format_head(int status, size_t body_length, std::string_view extra_headers = {});

}  // namespace tessik::host
