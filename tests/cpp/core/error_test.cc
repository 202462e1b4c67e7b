#include "core/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace pvdb::core {
namespace {

TEST(VectorDbError, MessagesOfEveryKind) {
  EXPECT_EQ(VectorDbError::io_errno(ENOENT).message(), "No such file or directory (os error 2)");
  EXPECT_EQ(VectorDbError::io_errno(EISDIR).message(), "Is a directory (os error 21)");
  EXPECT_EQ(VectorDbError::invalid_utf8().message(), "stream did not contain valid UTF-8");
  EXPECT_EQ(VectorDbError::write_zero().message(), "failed to write whole buffer");
  EXPECT_EQ(VectorDbError::flush_zero().message(), "failed to write the buffered data");
  EXPECT_EQ(VectorDbError::nul_in_path().message(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(VectorDbError::json("missing field `data`", 1, 15).message(),
            "missing field `data` at line 1 column 15");
  EXPECT_EQ(VectorDbError::json("EOF while parsing a value", 1, 0).message(),
            "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(VectorDbError::json("recursion limit exceeded").message(), "recursion limit exceeded");
  EXPECT_EQ(VectorDbError::dimension_mismatch(3, 4).message(),
            "Dimension mismatch: store is 3D, got 4D");
  EXPECT_EQ(VectorDbError::dimension_mismatch(18446744073709551615ull, 0).message(),
            "Dimension mismatch: store is 18446744073709551615D, got 0D");
  EXPECT_EQ(VectorDbError::empty_embedding().message(), "Embedding must not be empty");
  EXPECT_EQ(VectorDbError::non_finite_embedding().message(),
            "Embedding must contain only finite values");
}

TEST(VectorDbError, KindsAndOsCode) {
  EXPECT_EQ(VectorDbError::io_errno(EISDIR).kind(), ErrorKind::Io);
  EXPECT_EQ(VectorDbError::io_errno(EISDIR).os_code(), EISDIR);
  EXPECT_EQ(VectorDbError::invalid_utf8().os_code(), 0);
  EXPECT_EQ(VectorDbError::json("x").kind(), ErrorKind::Json);
  EXPECT_EQ(VectorDbError::empty_embedding().kind(), ErrorKind::EmptyEmbedding);
  EXPECT_EQ(VectorDbError::non_finite_entry("a").kind(), ErrorKind::NonFiniteEmbedding);
}

}  // namespace
}  // namespace pvdb::core
