#include "core/error.h"

#include <cstring>
#include <utility>

namespace pvdb::core {

VectorDbError VectorDbError::io_errno(int code) {
  // strerror_r's GNU form may return a static string instead of filling buf.
  char buf[256];
  const char* text = strerror_r(code, buf, sizeof buf);
  VectorDbError error(ErrorKind::Io, text);
  error.code_ = code;
  return error;
}

VectorDbError VectorDbError::invalid_utf8() {
  return VectorDbError(ErrorKind::Io, "stream did not contain valid UTF-8");
}

VectorDbError VectorDbError::write_zero() {
  return VectorDbError(ErrorKind::Io, "failed to write whole buffer");
}

VectorDbError VectorDbError::flush_zero() {
  return VectorDbError(ErrorKind::Io, "failed to write the buffered data");
}

VectorDbError VectorDbError::nul_in_path() {
  return VectorDbError(ErrorKind::Io, "file name contained an unexpected NUL byte");
}

VectorDbError VectorDbError::json(std::string description, std::uint64_t line,
                                  std::uint64_t column) {
  VectorDbError error(ErrorKind::Json, std::move(description));
  error.line_ = line;
  error.column_ = column;
  return error;
}

VectorDbError VectorDbError::dimension_mismatch(std::uint64_t expected, std::uint64_t got) {
  VectorDbError error(ErrorKind::DimensionMismatch, {});
  error.expected_ = expected;
  error.got_ = got;
  return error;
}

VectorDbError VectorDbError::empty_embedding() {
  return VectorDbError(ErrorKind::EmptyEmbedding, {});
}

VectorDbError VectorDbError::non_finite_embedding() {
  return VectorDbError(ErrorKind::NonFiniteEmbedding, "Embedding must contain only finite values");
}

VectorDbError VectorDbError::non_finite_entry(std::string_view id) {
  std::string text = "Embedding of id '";
  text += id;
  text += "' must contain only finite values";
  return VectorDbError(ErrorKind::NonFiniteEmbedding, std::move(text));
}

std::string VectorDbError::message() const {
  switch (kind_) {
    case ErrorKind::Io:
      if (code_ != 0) return text_ + " (os error " + std::to_string(code_) + ")";
      return text_;
    case ErrorKind::Json:
      if (line_ == 0) return text_;
      return text_ + " at line " + std::to_string(line_) + " column " + std::to_string(column_);
    case ErrorKind::DimensionMismatch:
      return "Dimension mismatch: store is " + std::to_string(expected_) + "D, got " +
             std::to_string(got_) + "D";
    case ErrorKind::EmptyEmbedding:
      return "Embedding must not be empty";
    case ErrorKind::NonFiniteEmbedding:
      return text_;
  }
  return text_;
}

}  // namespace pvdb::core
