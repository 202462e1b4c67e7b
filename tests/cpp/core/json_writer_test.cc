#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "core/wal.h"

namespace pvdb::core {
namespace {

// What one of the writers appends for `value`.
template <class T>
std::string written(void (*write)(std::string&, T), T value) {
  std::string out;
  write(out, value);
  return out;
}

TEST(JsonWriter, StringEscapesOnlyQuoteBackslashAndControlBytes) {
  struct Case {
    std::string text;
    std::string json;
  };
  const std::vector<Case> cases = {
      {"", R"("")"},
      {std::string("a\"b\\c\t\n\x01\xC3\xA9"), R"("a\"b\\c\t\n\u0001)"
                                               "\xC3\xA9\""},
      {"\b\f\r", R"("\b\f\r")"},
      {std::string("\x00\x0B\x1B\x1F", 4), R"("\u0000\u000b\u001b\u001f")"},
      {"/\x7F ~", "\"/\x7F ~\""},
      {"\xF0\x9F\x98\x80 \xE2\x80\xA8", "\"\xF0\x9F\x98\x80 \xE2\x80\xA8\""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(written<std::string_view>(write_json_string, c.text), c.json) << c.json;
}

TEST(JsonWriter, FloatsInShortestDigitsAndOurLayout) {
  struct Case {
    float value;
    const char* text;
  };
  const Case cases[] = {
      {1.0f, "1.0"},
      {0.5f, "0.5"},
      {-2.25f, "-2.25"},
      {100.0f, "100.0"},
      {123.456f, "123.456"},
      {0.1f, "0.1"},
      {1.0f / 3.0f, "0.33333334"},
      {16777216.0f, "16777216.0"},
      {123456789.0f, "123456790.0"},
      {1e12f, "1000000000000.0"},
      {1e13f, "1e+13"},
      {1.5e13f, "1.5e+13"},
      {1e-6f, "0.000001"},
      {2.5e-5f, "0.000025"},
      {1e-7f, "1e-7"},
      {1.5e-7f, "1.5e-7"},
      {std::numeric_limits<float>::max(), "3.4028235e+38"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {-std::numeric_limits<float>::denorm_min(), "-1e-45"},
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {std::nanf(""), "null"},
      {std::numeric_limits<float>::infinity(), "null"},
      {-std::numeric_limits<float>::infinity(), "null"},
      {1.25e12f, "1250000000000.0"},
      {-9.999999e-7f, "-9.999999e-7"},
      {0.000123f, "0.000123"},
      {-1.23456789e-6f, "-0.0000012345679"},
      {-1.2345678e-6f, "-0.0000012345678"},
      {1234.5f, "1234.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(written(write_json_f32, c.value), c.text) << c.text;
}

TEST(JsonWriter, DoublesUseTheSameLayoutAndIntegersTheirDigits) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {{3.0, "3.0"},       {-0.0, "-0.0"},
                        {0.1, "0.1"},       {1.0 / 3.0, "0.3333333333333333"},
                        {1e300, "1e+300"},  {1.8446744073709552e19, "1.8446744073709552e+19"},
                        {2.5e-7, "2.5e-7"}, {1e12, "1000000000000.0"}};
  for (const auto& c : cases) EXPECT_EQ(written(write_json_f64, c.value), c.text);
  EXPECT_EQ(written<std::uint64_t>(write_json_u64, 0), "0");
  EXPECT_EQ(written<std::uint64_t>(write_json_u64, 18446744073709551615ull),
            "18446744073709551615");
}

// The module's tests pin the bytes of records and snapshots; these append to what
// the buffer holds, and a snapshot may have no records.
TEST(JsonWriter, DocumentsAppendToTheBuffer) {
  std::string out = "prefix|";
  encode_wal_delete(out, "a");
  encode_snapshot(out, 0, {});
  EXPECT_EQ(out,
            "prefix|"
            R"({"op":"delete","data":{"id":"a"}})"
            "\n"
            R"({"dim":0,"entries":[]})");
}

}  // namespace
}  // namespace pvdb::core
