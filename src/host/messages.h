#pragma once
// The texts of the host's failures, each written once. Texts that quote a
// value are functions that put it in its place; texts the browser sends are
// passed on as they come and are not here.

#include <string>
#include <string_view>

namespace tessik::host::msg {

inline std::string joined(std::string_view a, std::string_view b) {
  std::string text(a);
  text += b;
  return text;
}

// "{what}: {why}", the form of every failure that carries a cause.
inline std::string because(std::string_view what, std::string_view why) {
  return joined(joined(what, ": "), why);
}

// What a command fails with when the browser has gone away under it.
inline constexpr std::string_view kBrowserExited = "the browser has exited";
// The same for a browser the host attached to, whose end it cannot see.
inline constexpr std::string_view kBrowserGone = "the browser has gone";
// What a command fails with when the host stops under it.
inline constexpr std::string_view kHostStopping = "the host is stopping";
// What a command fails with when an allocation for it fails.
inline constexpr std::string_view kOutOfMemory = "out of memory";
// What a command fails with in a tab whose renderer has crashed.
inline constexpr std::string_view kPageCrashed = "the page crashed";

// The host's own files: the state file, its lock, the profile folders.
inline std::string cannot(std::string_view verb, std::string_view path, std::string_view why) {
  return because(joined(joined("cannot ", verb), joined(" ", path)), why);
}
inline constexpr std::string_view kCreate = "create";
inline constexpr std::string_view kOpen = "open";
inline constexpr std::string_view kLock = "lock";
inline constexpr std::string_view kRename = "rename";
inline constexpr std::string_view kWrite = "write";
inline constexpr std::string_view kRemove = "remove";
inline constexpr std::string_view kInspect = "inspect";
inline constexpr std::string_view kSetModeOf = "set the mode of";
inline constexpr std::string_view kFindProfile = "find the profile";
inline constexpr std::string_view kCreateProfile = "create the profile";
inline constexpr std::string_view kInspectProfile = "inspect the profile";
inline constexpr std::string_view kSetModeOfProfile = "set the mode of the profile";
inline std::string not_a_directory(std::string_view path) {
  return joined(path, " is not a directory");
}
inline std::string belongs_to_another_user(std::string_view path) {
  return joined(path, " belongs to another user");
}
inline constexpr std::string_view kNoRandomBytes = "cannot read random bytes";
// "another host is running (pid N, PATH)"; the pid when the lock tells it.
inline std::string another_host(std::string_view pid, std::string_view path) {
  std::string text = "another host is running (";
  if (!pid.empty()) text += joined(joined("pid ", pid), ", ");
  return joined(text, joined(path, ")"));
}

// Profiles.
inline constexpr std::string_view kCannotCreateProfile = "cannot create a browser profile folder";
inline std::string the_profile(std::string_view path, std::string_view rest) {
  return joined(joined("the profile ", path), rest);
}
inline std::string profile_not_a_folder(std::string_view path) {
  return the_profile(path, " is not a folder");
}
inline std::string profile_of_another_user(std::string_view path) {
  return the_profile(path, " belongs to another user");
}
inline std::string profile_too_open(std::string_view path, std::string_view mode) {
  return the_profile(path, joined(joined(" is writable by others (mode ", mode),
                                  "); make it private with chmod 700"));
}
// The pid, when the lock tells it.
inline std::string profile_in_use(std::string_view path, std::string_view pid) {
  std::string text = the_profile(path, " is in use by another host");
  if (!pid.empty()) text += joined(joined(" (pid ", pid), ")");
  return text;
}

// Requests.
inline std::string bad_request(std::string_view what) { return joined("bad request: ", what); }
inline std::string unknown_command(std::string_view shown) { return joined("unknown command: ", shown); }
inline constexpr std::string_view kBodyNotObject = "the body must be a JSON object";
inline constexpr std::string_view kMissingCommand = "missing command";
inline constexpr std::string_view kCommandNotString = "command must be a string";
inline constexpr std::string_view kWidgetNotString = "widget_id must be a string";
inline constexpr std::string_view kArgsNotObject = "args must be an object";
inline constexpr std::string_view kSubmitNotBoolean = "args.submit must be a boolean";
inline std::string arg_not_string(std::string_view name) {
  return joined(joined("args.", name), " must be a string");
}
inline std::string needs_arg(std::string_view command, std::string_view name) {
  return joined(joined(command, " needs args."), name);
}

// The browser's end of the protocol.
inline constexpr std::string_view kCannotReadBrowser = "cannot read from the browser";
// A frame no browser sends: what is wrong with it, and that the browser is
// taken for gone.
inline std::string browser_sent(std::string_view what) {
  return joined(joined(joined("the browser sent ", what), "; "), kBrowserGone);
}

// Attaching to a running browser.
inline std::string refused_remote(std::string_view host) {
  return joined(joined("refusing to attach to '", host),
                "': the debugging protocol has no authentication, so only a browser on "
                "this machine's loopback interface may be driven");
}
inline std::string not_a_port(std::string_view text) {
  return joined(joined("not a port from 1 to 65535: '", text), "'");
}
inline constexpr std::string_view kNoAnswerInTime = "no answer in time";
inline constexpr std::string_view kNotAnAddress = "not an address";
inline constexpr std::string_view kAnswerTooLong = "an answer too long";
inline constexpr std::string_view kClosedBeforeAnswer = "the connection closed before an answer";
inline std::string version_answered(std::string_view status) {
  return joined("/json/version answered ", status);
}
inline constexpr std::string_view kNoDebuggerUrl = "/json/version named no webSocketDebuggerUrl";
inline std::string upgrade_answered(std::string_view status) {
  return joined("the upgrade to a WebSocket was answered ", status);
}
inline constexpr std::string_view kWrongAccept =
    "the upgrade's answer has the wrong Sec-WebSocket-Accept";
inline constexpr std::string_view kAttachOption = "--attach";
inline std::string not_an_endpoint(std::string_view text) {
  return joined(joined("--attach takes a port, a ws:// URL or 'auto', not '", text), "'");
}
inline std::string bad_url(std::string_view text) {
  return joined(joined("--attach: a bad URL: '", text), "'");
}
inline std::string url_without_port(std::string_view text) {
  return joined(joined("--attach: the URL names no port: '", text), "'");
}
inline constexpr std::string_view kNoPathOnLine2 = "no WebSocket path on its line 2";
inline std::string cannot_attach(std::string_view address, std::string_view why) {
  return because(joined("cannot attach to the browser at ", address), why);
}
inline std::string found_no_browser(std::string_view looked) {
  return joined(joined("found no running browser to attach to: looked for a DevToolsActivePort "
                       "whose browser answers in ",
                       looked),
                " (start Chrome or Chromium with --remote-debugging-port)");
}

// WebSocket frames the browser should never send.
inline constexpr std::string_view kReservedBits = "a frame with reserved bits set";
inline constexpr std::string_view kMaskedFrame = "a masked frame";
inline constexpr std::string_view kFrameTooLong = "a frame length above 2^63";
inline constexpr std::string_view kUnknownOpcode = "an unknown opcode";
inline constexpr std::string_view kBadControlFrame = "a fragmented or long control frame";
inline constexpr std::string_view kStrayContinuation = "a continuation frame outside a message";
inline constexpr std::string_view kMessageInMessage = "a new message inside a fragmented one";

// The browser, its tabs and its answers.
inline constexpr std::string_view kNoSession = "the browser gave no session";
inline constexpr std::string_view kBusyTooLong = "the browser was busy with other requests for too long";
inline constexpr std::string_view kUnknownCommand = "unknown command";
inline constexpr std::string_view kNoHistory = "the browser gave no history";
inline constexpr std::string_view kNoPrevious = "no previous page in history";
inline constexpr std::string_view kNoNext = "no next page in history";
inline constexpr std::string_view kResultTooSlow = "the browser took too long to send the result";
inline constexpr std::string_view kScriptTimedOut = "timed out waiting for the script";
inline constexpr std::string_view kNotInGroup = "not in the browser's group";
inline constexpr std::string_view kNoCommandTaken = "the browser took no command in time";
inline constexpr std::string_view kMalformedRequestLine = "malformed request line";
inline constexpr std::string_view kMalformedHeaderLine = "malformed header line";
inline constexpr std::string_view kTwoAuthorizations = "more than one authorization";
inline constexpr std::string_view kTwoHosts = "more than one host";
inline constexpr std::string_view kInvalidLength = "invalid content-length";
inline constexpr std::string_view kConflictingLength = "conflicting content-length";
inline constexpr std::string_view kProfileNeedsFolder = "--profile requires a folder";
inline constexpr std::string_view kNoWorld = "the browser made no world for the page code";
inline constexpr std::string_view kNoPageAnswer = "the page gave no answer";
// The same texts as the page code's verdicts of these names (page/verdicts.js).
inline constexpr std::string_view kNoMatch = "no element matches selector";
inline constexpr std::string_view kNotVisible = "element is not visible";
inline constexpr std::string_view kNoWidget = "no widget is open";
inline constexpr std::string_view kCannotSetUpPipes = "cannot set up the browser's pipes";
inline constexpr std::string_view kCannotWatchBrowser = "cannot watch the browser";
inline constexpr std::string_view kCannotWriteBrowser = "cannot write to the browser";
inline constexpr std::string_view kCannotWaitBrowser = "cannot wait for the browser";
inline constexpr std::string_view kUnsupportedVersion = "unsupported protocol version";
inline constexpr std::string_view kCannotCreateSocket = "cannot create a socket";
inline constexpr std::string_view kPageCodeDidNotLoad = "the page code did not load";
inline constexpr std::string_view kCannotWaitClients = "cannot wait for clients";
inline constexpr std::string_view kCannotStartWorker = "cannot start the worker";
inline constexpr std::string_view kManyWidgets = "more than one widget is open, name one with --widget";
inline std::string no_reply(std::string_view method) {
  return joined(joined("no reply from the browser to ", method), " in time");
}
inline std::string no_browser_found(std::string_view tried) {
  return joined(joined("no browser found (looked for ", tried),
                "); name one with --chromium or TESSIK_CHROMIUM");
}

// The host's options.
inline constexpr std::string_view kNoDisplay =
    "--headed needs a display, and neither DISPLAY nor WAYLAND_DISPLAY is set";
inline std::string requires_argument(std::string_view option) {
  return joined(option, " requires an argument");
}
inline std::string unknown_argument(std::string_view arg) {
  return joined(joined("unknown argument: '", arg), "' (try --help)");
}
inline std::string not_a_window_size(std::string_view text) {
  return joined(joined("--window-size takes <width>x<height> in pixels from 1 to 10000, not '", text), "'");
}

}  // namespace tessik::host::msg
