#include "host/http.h"
#include "host/messages.h"

#include <cstdint>

#include "json/utf8.h"

namespace tessik::host {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Takes one line off the front of `rest`, without its line ending.
std::string_view take_line(std::string_view& rest) {
  size_t lf = rest.find('\n');
  std::string_view line = rest.substr(0, lf);
  rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_token_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view reason(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    default: return "Unknown";
  }
}

// The names this host answers to: 127.0.0.1 or localhost, with or without
// its port.
bool is_own_host(std::string_view host, uint16_t port) {
  std::string_view name = host.substr(0, host.find(':'));
  if (name != "127.0.0.1" && !equals_ignoring_case(name, "localhost")) return false;
  return name.size() == host.size() || host.substr(name.size() + 1) == std::to_string(port);
}

}  // namespace

size_t find_head_end(std::string_view bytes) {
  for (size_t lf = bytes.find('\n'); lf != std::string_view::npos; lf = bytes.find('\n', lf + 1)) {
    size_t next = lf + 1;
    if (next < bytes.size() && bytes[next] == '\r') ++next;
    if (next < bytes.size() && bytes[next] == '\n') return next + 1;
  }
  return std::string_view::npos;
}

std::expected<RequestHead, std::string> parse_request_head(std::string_view head) {
  std::string_view rest = head;
  std::string_view line = take_line(rest);
  // A client may send an empty line before the request line.
  if (line.empty()) line = take_line(rest);

  RequestHead out;
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
    return std::unexpected(std::string(msg::kMalformedRequestLine));
  }
  std::string_view method = line.substr(0, sp1);
  std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = line.substr(sp2 + 1);
  if (method.empty()) return std::unexpected(std::string(msg::kMalformedRequestLine));
  for (char c : method) {
    if (!is_token_char(c)) return std::unexpected(std::string(msg::kMalformedRequestLine));
  }
  if (target.empty()) return std::unexpected(std::string(msg::kMalformedRequestLine));
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return std::unexpected(msg::because(msg::kUnsupportedVersion, shown_request_bytes(version)));
  }
  out.method = method;
  out.path = target.substr(0, target.find('?'));

  while (!rest.empty()) {
    line = take_line(rest);
    if (line.empty()) break;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      return std::unexpected(std::string(msg::kMalformedHeaderLine));
    }
    std::string_view name = line.substr(0, colon);
    for (char c : name) {
      if (!is_token_char(c)) return std::unexpected(std::string(msg::kMalformedHeaderLine));
    }
    std::string_view value = trim(line.substr(colon + 1));
    if (equals_ignoring_case(name, "authorization")) {
      if (out.authorization) return std::unexpected(std::string(msg::kTwoAuthorizations));
      out.authorization = std::string(value);
    } else if (equals_ignoring_case(name, "host")) {
      if (out.host) return std::unexpected(std::string(msg::kTwoHosts));
      out.host = std::string(value);
    } else if (equals_ignoring_case(name, "origin")) {
      out.has_origin = true;
    } else if (equals_ignoring_case(name, "content-length")) {
      if (value.empty()) return std::unexpected(std::string(msg::kInvalidLength));
      size_t length = 0;
      for (char c : value) {
        if (c < '0' || c > '9') return std::unexpected(std::string(msg::kInvalidLength));
        // Saturate just above the limit: the exact size of a refused body
        // does not matter, and the sum cannot overflow.
        length = length * 10 + static_cast<size_t>(c - '0');
        if (length > kMaxBodyBytes) length = kMaxBodyBytes + 1;
      }
      if (out.content_length && *out.content_length != length) {
        return std::unexpected(std::string(msg::kConflictingLength));
      }
      out.content_length = length;
    } else if (equals_ignoring_case(name, "transfer-encoding")) {
      out.has_transfer_encoding = true;
    } else if (equals_ignoring_case(name, "expect")) {
      out.expects_continue = equals_ignoring_case(value, "100-continue");
    }
  }
  return out;
}

bool bearer_matches(const std::optional<std::string>& authorization, std::string_view token) {
  if (!authorization) return false;
  std::string_view value = *authorization;
  constexpr std::string_view kScheme = "bearer ";
  if (value.size() < kScheme.size() || !equals_ignoring_case(value.substr(0, 7), kScheme)) {
    return false;
  }
  std::string_view presented = value.substr(kScheme.size());
  // Every byte of the expected token is compared whatever the presented one
  // holds; only the lengths, which are public, decide early.
  uint8_t difference = presented.size() == token.size() ? 0 : 1;
  for (size_t i = 0; i < token.size(); ++i) {
    char p = i < presented.size() ? presented[i] : 0;
    difference |= static_cast<uint8_t>(p ^ token[i]);
  }
  return difference == 0;
}

std::optional<HeadVerdict> judge_request_head(std::string_view input, std::string_view token,
                                              uint16_t port) {
  auto refuse = [](int status, std::string error, std::string_view headers = {}) {
    return HeadVerdict{status, std::move(error), headers};
  };
  size_t end = find_head_end(input);
  if (end == std::string_view::npos) {
    if (input.size() <= kMaxHeadBytes) return std::nullopt;
    return refuse(431, "request head too large");
  }
  if (end > kMaxHeadBytes) return refuse(431, "request head too large");
  auto head = parse_request_head(input.substr(0, end));
  if (!head) return refuse(400, "bad request: " + head.error());
  // A page in a local browser can reach 127.0.0.1 too, and under a name of
  // its own (DNS rebinding): such requests are turned away before anything
  // else, the token unseen.
  if (head->has_origin) return refuse(403, "forbidden: a request with an Origin header");
  if (head->host && !is_own_host(*head->host, port)) {
    return refuse(403, "forbidden: Host is not 127.0.0.1 or localhost");
  }
  if (head->path != "/v1/exec") return refuse(404, "not found");
  if (head->method != "POST") return refuse(405, "method not allowed", "Allow: POST\r\n");
  if (!bearer_matches(head->authorization, token)) {
    return refuse(401, "unauthorized", "WWW-Authenticate: Bearer\r\n");
  }
  if (head->has_transfer_encoding) return refuse(501, "transfer-encoding is not supported");
  if (!head->content_length) return refuse(411, "content-length required");
  if (*head->content_length > kMaxBodyBytes) return refuse(413, "request body too large");
  HeadVerdict taken;
  taken.head_end = end;
  taken.body_length = *head->content_length;
  taken.expects_continue = head->expects_continue;
  return taken;
}

std::optional<HeadVerdict> judge_request_body(std::string_view body) {
  if (!is_valid_utf8(body)) return HeadVerdict{400, "bad request: the body is not valid UTF-8", {}};
  return std::nullopt;
}

std::string shown_request_bytes(std::string_view bytes, size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes.substr(0, limit)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

std::string format_head(int status, size_t body_length, std::string_view extra_headers) {
  std::string head = std::string(kReplyStart) + std::to_string(status) + " ";
  head.append(reason(status));
  head.append("\r\nContent-Type: application/json\r\nContent-Length: ");
  head.append(std::to_string(body_length));
  head.append("\r\nConnection: close\r\n");
  head.append(extra_headers);
  head.append("\r\n");
  return head;
}

std::string format_reply(int status, std::string_view body, std::string_view extra_headers) {
  return format_head(status, body.size(), extra_headers).append(body);
}

}  // namespace tessik::host
