#include "host/navigation.h"

#include "host/json_read.h"

namespace tessik::host {

namespace {

// A link that runs a script leads to no document.
bool runs_script(std::string_view url) {
  constexpr std::string_view scheme = "javascript:";
  if (url.size() < scheme.size()) return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    char c = url[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return false;
  }
  return true;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `url` starts with a scheme and its colon: "localhost:8080" does
// not, as a port follows its colon.
bool has_scheme(std::string_view url) {
  size_t i = 0;
  while (i < url.size() && url[i] != ':') {
    char c = lower(url[i]);
    bool letter = c >= 'a' && c <= 'z';
    if (!letter && (i == 0 || (!is_digit(c) && c != '+' && c != '-' && c != '.'))) return false;
    ++i;
  }
  if (i == 0 || i == url.size()) return false;
  size_t digits = i + 1;
  while (digits < url.size() && is_digit(url[digits])) ++digits;
  bool port = digits > i + 1 &&
              (digits == url.size() || url[digits] == '/' || url[digits] == '?' || url[digits] == '#');
  return !port;
}

// Whether the host that `url` (without a scheme) starts with is this machine.
bool is_loopback(std::string_view url) {
  std::string_view host = url.substr(0, url.find_first_of("/?#"));
  if (starts_with_ignoring_case(host, "[::1]")) return host.size() == 5 || host[5] == ':';
  host = host.substr(0, host.find(':'));
  std::string name;
  for (char c : host) name += lower(c);
  if (name == "localhost" || name.ends_with(".localhost")) return true;
  // 127.0.0.0/8, written as four numbers.
  if (!name.starts_with("127.")) return false;
  int dots = 0;
  for (char c : name) {
    if (c == '.') {
      ++dots;
    } else if (!is_digit(c)) {
      return false;
    }
  }
  return dots == 3 && name.back() != '.';
}

}  // namespace

std::string complete_url(std::string_view url) {
  for (std::string_view scheme : {"about:", "data:", "file:", "javascript:"}) {
    if (starts_with_ignoring_case(url, scheme)) return std::string(url);
  }
  if (url.empty() || has_scheme(url)) return std::string(url);
  return (is_loopback(url) ? "http://" : "https://") + std::string(url);
}

void Navigation::see(const Event& event) {
  std::string_view method = event.method;
  JsonValue params = event.params;
  bool top = string_member(params, "frameId") == main_frame_;
  if (method == "Page.frameRequestedNavigation" || method == "Page.frameScheduledNavigation") {
    // A link that opens another tab does not move this one.
    std::string_view disposition = string_member(params, "disposition");
    if (top && (disposition.empty() || disposition == "currentTab") &&
        !runs_script(string_member(params, "url"))) {
      started_ = true;
    }
  } else if (method == "Page.frameClearedScheduledNavigation") {
    // Called off before it began: unless the frame has moved on meanwhile.
    if (top && !loading_ && !committed_) started_ = false;
  } else if (method == "Page.frameStartedNavigating") {
    if (!top || runs_script(string_member(params, "url"))) return;
    started_ = true;
    // The document this navigation makes: only its events end the wait, not
    // those of one before it that arrive late.
    std::string_view loader = string_member(params, "loaderId");
    std::string_view type = string_member(params, "navigationType");
    if (type == "historySameDocument" && start_ == Start::history) {
      same_document_ = true;
      url_ = string_member(params, "url");
    } else if (!loader.empty() && type != "sameDocument" && type != "historySameDocument") {
      loader_ = loader;
      url_ = string_member(params, "url");
    }
  } else if (method == "Page.frameStartedLoading") {
    if (top) started_ = loading_ = true;
  } else if (method == "Page.frameNavigated") {
    const JsonValue* frame = params.find("frame");
    if (!frame || frame->find("parentId")) return;
    std::string_view loader = string_member(*frame, "loaderId");
    if (!loader_.empty() && loader != loader_) return;
    started_ = committed_ = true;
    loader_ = loader;
    // A page restored from the back-forward cache is loaded already.
    if (string_member(params, "type") == "BackForwardCacheRestore") done_ = true;
  } else if (method == "Page.navigatedWithinDocument") {
    // The document being left may change its own URL as it goes; that ends
    // only a navigation that stays within the document.
    bool ours = start_ == Start::input || (start_ == Start::history && same_document_);
    if (top && !committed_ && ours) started_ = done_ = true;
  } else if (method == "Page.lifecycleEvent") {
    std::string_view name = string_member(params, "name");
    bool ends = end_ == End::load ? name == "load" : name == "DOMContentLoaded";
    if (!loader_.empty() && ends && string_member(params, "loaderId") == loader_) done_ = true;
  } else if (method == "Page.frameStoppedLoading") {
    // Stopped without a new document: cancelled, a download, or a 204.
    // The previous document's own stop may still be on its way; it comes
    // before this navigation's start.
    if (top && loading_ && !committed_) done_ = true;
  }
}

std::string timed_out(std::chrono::milliseconds limit, std::string_view what) {
  return "timed out after " + std::to_string(limit.count()) + " ms waiting for " + std::string(what);
}

}  // namespace tessik::host
