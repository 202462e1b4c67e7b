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

// The round-trip tests hold every float's text to the format's; these pin the
// layout's bounds and the texts of values that have no digits.
TEST(JsonWriter, FloatsInShortestDigitsAndOurLayout) {
  struct Case {
    float value;
    const char* text;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {1e12f, "1000000000000.0"},      {1e13f, "1e+13"}, {1e-6f, "0.000001"},
      {-9.999999e-7f, "-9.999999e-7"}, {0.0f, "0.0"},    {-0.0f, "-0.0"},
      {std::nanf(""), "null"},         {inf, "null"},    {-inf, "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(written(write_json_f32, c.value), c.text) << c.text;
}

// The reader's error rows pin the doubles of whole numbers, large and negative zero.
TEST(JsonWriter, DoublesUseTheSameLayoutAndIntegersTheirDigits) {
  EXPECT_EQ(written(write_json_f64, 0.1), "0.1");
  EXPECT_EQ(written(write_json_f64, 1.0 / 3.0), "0.3333333333333333");
  EXPECT_EQ(written(write_json_f64, 2.5e-7), "2.5e-7");
  EXPECT_EQ(written(write_json_f64, 1e12), "1000000000000.0");
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
