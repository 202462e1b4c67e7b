#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace pvdb::core {
namespace {

// The texts and kinds the module's own tests cannot reach or do not pin.
TEST(VectorDbError, MessagesAndKinds) {
  EXPECT_EQ(VectorDbError::write_zero().message(), "failed to write whole buffer");
  EXPECT_EQ(VectorDbError::flush_zero().message(), "failed to write the buffered data");
  EXPECT_EQ(VectorDbError::dimension_mismatch(18446744073709551615ull, 0).message(),
            "Dimension mismatch: store is 18446744073709551615D, got 0D");
  EXPECT_EQ(VectorDbError::io_errno(EISDIR).kind(), ErrorKind::Io);
  EXPECT_EQ(VectorDbError::io_errno(EISDIR).os_code(), EISDIR);
  EXPECT_EQ(VectorDbError::invalid_utf8().os_code(), 0);
  EXPECT_EQ(VectorDbError::json("x").kind(), ErrorKind::Json);
  EXPECT_EQ(VectorDbError::empty_embedding().kind(), ErrorKind::EmptyEmbedding);
  EXPECT_EQ(VectorDbError::non_finite_entry("a").kind(), ErrorKind::NonFiniteEmbedding);
}

}  // namespace
}  // namespace pvdb::core
