#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pvdb::base {
namespace {

struct Utf8Case {
  std::string bytes;
  bool valid;
  bool cut_short;
};

TEST(Utf8, ValidityAndCutCharacters) {
  const Utf8Case cases[] = {
      {"", true, false},
      {"plain ascii text that is longer than eight bytes", true, false},
      {"caf\xC3\xA9", true, false},
      {"\xF0\x9F\x98\x80", true, false},   // U+1F600
      {"\xEF\xBF\xBF", true, false},       // U+FFFF
      {"\xF4\x8F\xBF\xBF", true, false},   // U+10FFFF
      {"abc\xC3", false, true},            // cut after the lead byte
      {"abc\xF0\x9F\x98", false, true},    // cut before the last byte
      {"\xC3\x28", false, false},          // bad continuation
      {"\xC0\xAF", false, false},          // overlong
      {"\xE0\x80\xAF", false, false},      // overlong, three bytes
      {"\xED\xA0\x80", false, false},      // surrogate
      {"\xF4\x90\x80\x80", false, false},  // past U+10FFFF
      {"\xFF", false, false},
      {"\x80", false, false},
      {"\xED\xA0", false, false},       // a cut surrogate is still malformed
      {"\xC3 abc \xC3", false, false},  // malformed before the cut
      {std::string("nul\0inside", 10), true, false},
  };
  for (const Utf8Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(is_utf8_cut_short(c.bytes), c.cut_short) << c.bytes;
  }
  EXPECT_EQ(drop_incomplete_tail("ab\xF0\x9F\x98"), "ab");
  EXPECT_EQ(drop_incomplete_tail("ab\xC3\xA9"), "ab\xC3\xA9");
}

TEST(Utf8, TrimsEveryWhiteSpaceCharacter) {
  std::vector<std::string> spaces = {"\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80",
                                     "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
                                     "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const char c : std::string(" \t\n\v\f\r")) spaces.emplace_back(1, c);
  for (const std::string& s : spaces) {
    EXPECT_EQ(trim_unicode_whitespace(s + "{x}" + s + s), "{x}") << s;
    EXPECT_EQ(trim_unicode_whitespace(s + s), "") << s;
  }
  // Characters that look alike but are not White_Space stay.
  EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8B{x}"), "\xE2\x80\x8B{x}");  // U+200B
  EXPECT_EQ(trim_unicode_whitespace("{x}\xE2\x80\x8B"), "{x}\xE2\x80\x8B");
  EXPECT_EQ(trim_unicode_whitespace("{x}\xC3\xA0"), "{x}\xC3\xA0");  // ends in 0xA0, is U+00E0
  EXPECT_EQ(trim_unicode_whitespace(" a b "), "a b");
}

}  // namespace
}  // namespace pvdb::base
