// The command line: option scan, help, usage failures and request objects.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "bin/tessik_browser/cli.h"
#include "json/writer.h"
#include "support/process.h"

namespace tessik {
namespace {

using testing::run_binary;
using testing::RunOptions;
using testing::TempDir;

// An independent copy of the help text, so that a typo in the program's own
// copy cannot pass by being compared with itself.
std::string golden_help() {
  return testing::read_file(std::filesystem::path(__FILE__).parent_path() / "data" / "help.txt");
}

std::string help_output() { return golden_help() + "\n"; }

TEST(HelpText, MatchesTheGoldenCopy) {
  const std::string golden = golden_help();
  ASSERT_EQ(golden.size(), 945u) << "tests/data/help.txt is missing or changed";
  EXPECT_EQ(std::count(golden.begin(), golden.end(), '\n'), 21);
  EXPECT_EQ(kHelpText, golden);
}

TEST(EndToEnd, HelpWinsEverywhere) {
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"-h"},
      {"--help"},
      {"type", "--help"},
      {"nosuch", "-h"},
      {"--widget", "1", "navigate", "-h"},
      {"eval", "--help", "--widget"},
  };
  TempDir home;
  for (const auto& args : lines) {
    auto r = run_binary(args, {.home = home.path().string()});
    EXPECT_EQ(r.out, help_output()) << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
  }
}

TEST(EndToEnd, UsageFailuresNeedNoStateFile) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--widget"}, "--widget requires an argument"},
      {{"url", "--widget"}, "--widget requires an argument"},
      {{"--widget", "3"}, "missing command (try --help)"},
      {{"--submit"}, "missing command (try --help)"},
      {{"--widget=3", "url"}, "unknown command: '--widget=3' (try --help)"},
      {{"-x", "url"}, "unknown command: '-x' (try --help)"},
      {{""}, "unknown command: '' (try --help)"},
      {{"URL"}, "unknown command: 'URL' (try --help)"},
      {{"Click", "x"}, "unknown command: 'Click' (try --help)"},
      {{"navigate"}, "usage: navigate <url>"},
      {{"eval"}, "usage: eval <script>"},
      {{"eval", ""}, "usage: eval <script>"},
      {{"click"}, "usage: click <selector>"},
      {{"type"}, "usage: type <selector> <text>"},
      {{"type", "#q"}, "usage: type <selector> <text>"},
      {{"--submit", "type", "#q", "--widget", "2"}, "usage: type <selector> <text>"},
      // Arguments that are not UTF-8 are named and shown, bad bytes as U+FFFD,
      // quoted and escaped so that the report stays one line.
      {{"eval", "\xFF\xFE"}, "script is not valid UTF-8: \"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {{"eval", "a", "b\xC3(\n"}, "script is not valid UTF-8: \"a b\xEF\xBF\xBD(\\n\""},
      {{"navigate", "http://x/\xE9"}, "url is not valid UTF-8: \"http://x/\xEF\xBF\xBD\""},
      {{"text", "\xC0\xAF"}, "selector is not valid UTF-8: \"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {{"click", "a\"\xED\xA0\x80"},
       "selector is not valid UTF-8: \"a\\\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {{"type", "#q", "caf\xE9"}, "text is not valid UTF-8: \"caf\xEF\xBF\xBD\""},
      {{"--widget", "w\xFF", "url"}, "--widget is not valid UTF-8: \"w\xEF\xBF\xBD\""},
  };
  TempDir home;  // empty: the state file does not exist
  for (const auto& c : cases) {
    auto r = run_binary(c.args, {.home = home.path().string()});
    EXPECT_EQ(r.err, "tessik-browser: " + c.message + "\n") << ::testing::PrintToString(c.args);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
  // Not even HOME is needed to report a usage failure.
  auto r = run_binary({"navigate"}, {.home = std::nullopt});
  EXPECT_EQ(r.err, "tessik-browser: usage: navigate <url>\n");
  r = run_binary({"--widget", "\xFF", "url"}, {.home = std::nullopt});
  EXPECT_EQ(r.err, "tessik-browser: --widget is not valid UTF-8: \"\xEF\xBF\xBD\"\n");
}

// The request body a command line produces, or its usage message.
std::string request_for(const std::vector<std::string>& words) {
  std::vector<const char*> argv;
  for (const auto& w : words) argv.push_back(w.c_str());
  auto scanned = scan_options(argv);
  if (!scanned) return "fail: " + scanned.error();
  if (scanned->help) return "help";
  JsonDocument doc;
  const CommandLine& line = scanned->line;
  auto args = build_args(doc, line.command, line.args, line.submit);
  if (!args) return "fail: " + args.error();
  auto request = build_request(doc, line.command, line.widget, *args);
  if (!request) return "fail: " + request.error();
  return to_compact_json(*request);
}

TEST(Request, BodiesOfEveryCommand) {
  struct Case {
    std::vector<std::string> words;
    std::string body;
  };
  const std::vector<Case> cases = {
      {{"url"}, R"({"command":"url"})"},
      {{"--widget", "2", "title"}, R"({"command":"title","widget_id":"2"})"},
      {{"navigate", "about:blank"}, R"({"args":{"url":"about:blank"},"command":"navigate"})"},
      {{"back"}, R"({"command":"back"})"},
      {{"forward"}, R"({"command":"forward"})"},
      {{"reload"}, R"({"command":"reload"})"},
      {{"text"}, R"({"command":"text"})"},
      {{"text", "main"}, R"({"args":{"selector":"main"},"command":"text"})"},
      {{"eval", "1", "+", "2"}, R"({"args":{"script":"1 + 2"},"command":"eval"})"},
      {{"click", "button.ok"}, R"({"args":{"selector":"button.ok"},"command":"click"})"},
      {{"type", "input", "hello", "world", "--submit"},
       R"({"args":{"selector":"input","submit":true,"text":"hello world"},"command":"type"})"},
      {{"--widget", "3", "type", "input", "hi"},
       R"({"args":{"selector":"input","submit":false,"text":"hi"},"command":"type","widget_id":"3"})"},
      // Extra words are ignored; --submit means nothing outside type.
      {{"url", "extra", "words"}, R"({"command":"url"})"},
      {{"--submit", "url"}, R"({"command":"url"})"},
      {{"navigate", "a", "b"}, R"({"args":{"url":"a"},"command":"navigate"})"},
      // Widget ids stay strings, verbatim, and the last one counts.
      {{"--widget", "07", "back"}, R"({"command":"back","widget_id":"07"})"},
      {{"--widget", "1", "--widget", "2", "url"}, R"({"command":"url","widget_id":"2"})"},
      {{"url", "--widget", "3"}, R"({"command":"url","widget_id":"3"})"},
      {{"--widget", "--help", "url"}, R"({"command":"url","widget_id":"--help"})"},
      {{"--widget", "", "url"}, R"({"command":"url","widget_id":""})"},
      // Empty arguments are values; joined texts keep their separators.
      {{"text", ""}, R"({"args":{"selector":""},"command":"text"})"},
      {{"eval", "", ""}, R"({"args":{"script":" "},"command":"eval"})"},
      {{"type", "#q", ""}, R"({"args":{"selector":"#q","submit":false,"text":""},"command":"type"})"},
      {{"type", "--submit", "#q", "a", "b"},
       R"({"args":{"selector":"#q","submit":true,"text":"a b"},"command":"type"})"},
      {{"type", "#q", "a", "--submit", "b"},
       R"({"args":{"selector":"#q","submit":true,"text":"a b"},"command":"type"})"},
      // Nothing is escaped twice or trimmed; JSON escapes apply in the body.
      {{"eval", "say(\"hi\")\n", " x "}, R"({"args":{"script":"say(\"hi\")\n  x "},"command":"eval"})"},
      {{"type", "#q", "--submit"}, "fail: usage: type <selector> <text>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(request_for(c.words), c.body) << ::testing::PrintToString(c.words);
  }
}

}  // namespace
}  // namespace tessik
