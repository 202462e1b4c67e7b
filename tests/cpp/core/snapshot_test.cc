#include "core/snapshot.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace pvdb::core {
namespace {

const char kExample[] =
    R"({"dim":3,"entries":[{"id":"b","embedding":[0.1,0.33333334,1e-7],"metadata":"","created_at":""}]})";

TEST(Snapshot, ExampleDecodes) {
  auto snapshot = decode_snapshot(kExample);
  ASSERT_TRUE(snapshot.ok()) << snapshot.error().message();
  EXPECT_EQ(snapshot.value().dim, 3u);
  ASSERT_EQ(snapshot.value().entries.size(), 1u);
  EXPECT_EQ(snapshot.value().entries[0], (VectorEntry{"b", {0.1f, 1.0f / 3.0f, 1e-7f}, "", ""}));
}

TEST(Snapshot, OnlyWhitespaceMayFollowTheDocument) {
  struct Case {
    std::string suffix;
    std::string message;
  };
  const Case cases[] = {
      {"", ""},
      {"\n  \t\r\n", ""},
      {"\n{}", "trailing characters at line 2 column 1"},
      {" \x0B", "trailing characters at line 1 column 98"},
      {"\xEF\xBB\xBF", "trailing characters at line 1 column 97"},
  };
  for (const auto& c : cases) {
    auto snapshot = decode_snapshot(kExample + c.suffix);
    EXPECT_EQ(snapshot.ok() ? "" : snapshot.error().message(), c.message);
  }
  EXPECT_EQ(decode_snapshot("\xEF\xBB\xBF" + std::string(kExample)).error().message(),
            "expected value at line 1 column 1");
}

TEST(Snapshot, EmbeddingOfNonFiniteValuesCannotBeReadBack) {
  VectorEntry entry{"n", {1.0f, std::numeric_limits<float>::quiet_NaN()}, "", ""};
  const VectorEntry* entries[] = {&entry};
  std::string text;
  encode_snapshot(text, 2, entries);
  EXPECT_EQ(
      text,
      R"({"dim":2,"entries":[{"id":"n","embedding":[1.0,null],"metadata":"","created_at":""}]})");
  EXPECT_EQ(decode_snapshot(text).error().message(),
            "invalid type: null, expected f32 at line 1 column 51");
}

}  // namespace
}  // namespace pvdb::core
