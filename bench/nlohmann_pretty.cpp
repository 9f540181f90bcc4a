// Reference point for parse + pretty print: reads a reply body file whole,
// parses it with nlohmann::json and writes its "data" member with dump(2) and a
// line feed, the way a program built on that library would.
//
//   nlohmann_pretty BODY_FILE
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: nlohmann_pretty BODY_FILE\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::perror(argv[1]);
    return 1;
  }
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nlohmann::json doc = nlohmann::json::parse(text);
  text.clear();
  text.shrink_to_fit();
  std::string out = doc["data"].dump(2);
  out.push_back('\n');
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return 1;
  return 0;
}
