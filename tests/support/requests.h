#pragma once
// Every command as typed, with the request body it must give: the one table
// that the command-line, exchange and end-to-end tests each check at their
// own level.

#include <string>
#include <string_view>
#include <vector>

namespace tessik::testing {

struct CommandRequest {
  std::vector<std::string> words;  // the command line after the program's name
  std::string_view length;         // Content-Length, counted by hand
  std::string_view body;           // the compact request body
};

inline const std::vector<CommandRequest>& command_requests() {
  static const std::vector<CommandRequest> table = {
      {{"url"}, "17", R"({"command":"url"})"},
      {{"--widget", "2", "title"}, "35", R"({"command":"title","widget_id":"2"})"},
      {{"navigate", "about:blank"}, "51", R"({"args":{"url":"about:blank"},"command":"navigate"})"},
      {{"back"}, "18", R"({"command":"back"})"},
      {{"forward"}, "21", R"({"command":"forward"})"},
      {{"reload"}, "20", R"({"command":"reload"})"},
      {{"text"}, "18", R"({"command":"text"})"},
      {{"text", "main"}, "45", R"({"args":{"selector":"main"},"command":"text"})"},
      {{"eval", "1", "+", "2"}, "44", R"({"args":{"script":"1 + 2"},"command":"eval"})"},
      {{"click", "button.ok"}, "51", R"({"args":{"selector":"button.ok"},"command":"click"})"},
      {{"type", "input", "hello", "world", "--submit"}, "81",
       R"({"args":{"selector":"input","submit":true,"text":"hello world"},"command":"type"})"},
      {{"--widget", "3", "type", "input", "hi"}, "89",
       R"({"args":{"selector":"input","submit":false,"text":"hi"},)"
       R"("command":"type","widget_id":"3"})"},
      // Content-Length counts bytes: 46 characters, 49 bytes.
      {{"eval", "h\xC3\xA9llo", "\xE2\x9C\x93"}, "49",
       "{\"args\":{\"script\":\"h\xC3\xA9llo \xE2\x9C\x93\"},\"command\":\"eval\"}"},
  };
  return table;
}

}  // namespace tessik::testing
