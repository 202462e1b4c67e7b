#include "core/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

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

// The round-trip sweep holds every float's text to the format's, the layout's
// bounds and both zeros included; values that have no digits are written as null.
TEST(JsonWriter, FloatsWithoutDigitsAreNull) {
  const float inf = std::numeric_limits<float>::infinity();
  for (const float value : {std::nanf(""), inf, -inf}) {
    EXPECT_EQ(written(write_json_f32, value), "null") << value;
  }
}

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
