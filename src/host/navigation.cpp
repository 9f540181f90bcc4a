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

}  // namespace

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
    if (!loader.empty() && type != "sameDocument" && type != "historySameDocument") {
      loader_ = loader;
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
    if (top && !committed_) started_ = done_ = true;
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
