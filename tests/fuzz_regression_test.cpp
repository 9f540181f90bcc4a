// Replays every saved fuzz input through the properties its fuzz target
// checks, so an input that once broke one keeps being tried in the normal
// suite, with the release compiler.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "../fuzz/properties.h"
#include "support/process.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

// The corpora live beside the fuzz targets in the source tree.
fs::path corpus_root() {
  return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "corpus";
}

struct Target {
  const char* name;
  fuzzing::Check (*check)(std::string_view);
};

void PrintTo(const Target& target, std::ostream* out) { *out << target.name; }

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EveryInputKeepsItsProperties) {
  fs::path dir = corpus_root() / GetParam().name;
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  size_t replayed = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    auto held = GetParam().check(testing::read_file(entry.path()));
    EXPECT_TRUE(held.has_value()) << entry.path().filename() << ": "
                                  << (held ? std::string() : held.error());
    ++replayed;
  }
  EXPECT_GT(replayed, 0u) << "no inputs in " << dir;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
                         ::testing::Values(Target{"json_reader", fuzzing::check_json_reader},
                                           Target{"state_decoder", fuzzing::check_state_decoder},
                                           Target{"reply_path", fuzzing::check_reply_path}),
                         [](const auto& info) { return std::string(info.param.name); });

// The checks themselves must be able to fail: inputs built to break each
// property are caught, so a passing corpus means something.
TEST(FuzzProperties, PositionsOutsideTheTextAreCaught) {
  struct Case {
    std::string_view text;
    size_t line, column;
    bool inside;
  };
  const Case cases[] = {
      {"", 1, 0, true},        {"", 1, 1, false},       {"", 2, 0, false},
      {"ab\ncd", 1, 2, true},  {"ab\ncd", 1, 3, false}, {"ab\ncd", 2, 2, true},
      {"ab\ncd", 2, 3, false}, {"ab\n", 2, 0, true},    {"ab\n", 3, 0, false},
      {"x", 0, 0, false},
  };
  for (const auto& c : cases) {
    auto held = fuzzing::position_within(c.text, JsonError{"p", c.line, c.column});
    EXPECT_EQ(held.has_value(), c.inside)
        << ::testing::PrintToString(std::string(c.text)) << " " << c.line << ":" << c.column;
  }
}

}  // namespace
}  // namespace tessik
