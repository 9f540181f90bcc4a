// The UTF-8 check and the lossy display, with each sequence placed at every
// offset around the sixteen- and eight-byte steps of the ASCII scan.

#include <gtest/gtest.h>

#include <string>

#include "json/utf8.h"
#include "sys/utf8.h"

namespace tessik {
namespace {

struct Sequence {
  const char* bytes;
  bool valid;
  const char* shown;  // as lossy_utf8 shows it
};

const Sequence kSequences[] = {
    {"\xC3\xA9", true, "\xC3\xA9"},
    {"\xE2\x82\xAC", true, "\xE2\x82\xAC"},
    {"\xF0\x9F\x98\x80", true, "\xF0\x9F\x98\x80"},
    {"\xF4\x8F\xBF\xBF", true, "\xF4\x8F\xBF\xBF"},
    {"\x7F", true, "\x7F"},
    {"\x80", false, "\xEF\xBF\xBD"},
    {"\xFF", false, "\xEF\xBF\xBD"},
    {"\xC0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD"},         // overlong
    {"\xED\xA0\x80", false, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
    {"\xF4\x90\x80\x80", false,
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
    {"\xE2\x82", false, "\xEF\xBF\xBD"},                      // cut short at the end
    {"\xE2\x82x", false, "\xEF\xBF\xBDx"},                    // cut short by ASCII
};

TEST(Utf8, EverySequenceAtEveryOffset) {
  for (const auto& seq : kSequences) {
    for (size_t before = 0; before <= 33; ++before) {
      for (size_t after : {0, 1, 7, 16}) {
        const std::string pad_before(before, 'a'), pad_after(after, 'z');
        const std::string text = pad_before + seq.bytes + pad_after;
        SCOPED_TRACE(::testing::PrintToString(text));
        EXPECT_EQ(is_valid_utf8(text), seq.valid);
        EXPECT_EQ(sys::lossy_utf8(text), pad_before + seq.shown + pad_after);
      }
    }
  }
}

}  // namespace
}  // namespace tessik
