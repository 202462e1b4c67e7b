#include "core/vector_entry.h"

#include <gtest/gtest.h>

#include "core/result.h"

namespace pvdb::core {
namespace {

TEST(VectorEntry, CopyIsDeep) {
  VectorEntry a{"", {1.0f, 2.0f}, "", ""};
  VectorEntry b = a;
  b.embedding[0] = 5.0f;
  b.id = "b";
  EXPECT_EQ(a.embedding[0], 1.0f);
  EXPECT_EQ(a.id, "");
  EXPECT_NE(a, b);
}

TEST(Result, HoldsValueOrError) {
  Result<int> good(7);
  ASSERT_TRUE(good.ok());
  EXPECT_EQ(good.value(), 7);
  Result<int> bad(VectorDbError::empty_embedding());
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ErrorKind::EmptyEmbedding);
  Result<void> done;
  EXPECT_TRUE(done.ok());
  Result<void> failed(VectorDbError::dimension_mismatch(1, 2));
  EXPECT_FALSE(failed.ok());
}

}  // namespace
}  // namespace pvdb::core
