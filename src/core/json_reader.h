#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/row_pool.h"

namespace pvdb::core {

// A JSON number as read: an integer without fraction or exponent that fits 64 bits
// stays an integer, anything else is the nearest 64-bit float.
struct JsonNumber {
  enum class Kind { Unsigned, Signed, Float };
  Kind kind = Kind::Unsigned;
  std::uint64_t u = 0;
  std::int64_t i = 0;
  double f = 0.0;
  float f32 = 0.0f;  // a Float's value as an embedding element

  // Integers round straight to the nearest float. A decimal of at most nine
  // significant digits (every text the writer makes) does too, so that it reads
  // back as the float it came from; longer ones go by way of the double.
  float to_f32() const;
  JsonFound found() const;
};

// A pull reader over one JSON text that keeps only a byte offset. Every parse step
// returns false on failure and keeps the first failure, whose line and column are
// worked out from its offset only when the error is taken.
//
// Offsets follow how a streaming decoder notices each failure, never past the end
// of the text:
// - a byte it only looked at (a bad separator, trailing characters, the end of the
//   text where a token should start): one past that byte;
// - a byte it consumed (a bad escape, a bad digit, a misspelt literal, a raw
//   control byte): just after that byte;
// - a value of the wrong type or an unknown op: just after the value when it was
//   read to name it, at its opening bracket when it is an array or an object;
// - a duplicate field: just after its name and the whitespace that follows;
// - a missing field, a too short array, or held data that does not fit its op:
//   at the cursor, after stepping over whitespace and over the closing bracket
//   of the object or array being read if that comes next.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // ---- Cursor ----
  std::size_t pos() const { return pos_; }
  bool at_end() const { return pos_ >= text_.size(); }
  // The byte at the cursor, or -1 at the end.
  int peek() const { return at_end() ? -1 : static_cast<unsigned char>(text_[pos_]); }
  void bump() { ++pos_; }
  // Moves the cursor to `pos`, which another reader over the same text reached in
  // the same nesting state; the text in between counts as read.
  void seek(std::size_t pos) { pos_ = pos; }
  // Skips JSON whitespace and returns the next byte, or -1 at the end.
  int peek_token();
  // Whether the last byte before the cursor, whitespace aside, is a comma.
  bool after_comma() const;

  // ---- Failures; each returns false ----
  // `ended`: the failure is only that the text stops where more could follow.
  bool fail_peek(JsonSyntax code, bool ended = false);
  bool fail_here(JsonSyntax code, bool ended = false);
  // A failure of meaning; place() gives it its position later.
  bool fail_unplaced(VectorDbError error);
  // Places an unplaced failure at the cursor. Returns false.
  bool place();
  bool failed() const { return error_.has_value(); }
  bool failure_placed() const { return offset_ != kUnplaced; }
  // Whether the failure is only the text ending early, in a spot where the
  // document could still turn out valid.
  bool ended() const { return ended_ && !doomed_; }
  VectorDbError take_error();

  // ---- Tokens ----
  bool enter();  // opens one nesting level before a bracket is consumed
  void leave() { ++depth_left_; }
  // After `{` or a comma: 1 when a member name follows (its quote consumed),
  // 0 at the closing brace (not consumed), -1 on failure.
  int next_member(bool& first);
  // 1 when an element follows (cursor on it), 0 at `]` (not consumed), -1 on failure.
  int next_element(bool& first);
  bool object_colon();
  // Close an object or array. After a failure (`ok` false) they still step over
  // the closing bracket, so that an unplaced failure lands after it.
  bool end_object(bool ok);
  bool end_array(bool ok);
  // Only whitespace may follow the document.
  bool finish();

  // ---- Values ----
  // The body of a string, its opening quote consumed. `out` is replaced.
  bool parse_string(std::string& out);
  // After the first letter of null/true/false: the rest of the literal.
  bool parse_ident(const char* rest);
  // A number starting at the cursor (after its '-' when `positive` is false).
  bool parse_number(bool positive, JsonNumber& out);
  // Typed values with their type failures, each placed at the value's end.
  bool read_string(std::string& out);
  bool read_f32(float& out);
  // Inside a list of numbers, at its start (`first`) or after an element: reads
  // elements while they come in the compact layout, a number straight after the
  // bracket or a comma, that the fast path takes. It stops, having consumed
  // nothing of it, at the first element of any other kind, which the caller's
  // general loop then reads exactly as it would have without this call.
  void read_compact_f32s(Embedding& out, bool& first);
  bool read_usize(std::uint64_t& out);
  // Checks one value for well-formedness without depth limit or recursion.
  bool skip_value();
  // Reads the value at the cursor only to name it in an "invalid type" failure.
  bool fail_invalid_type(JsonExpected expected);

 private:
  static constexpr std::size_t kUnplaced = static_cast<std::size_t>(-1);

  bool fail_at(JsonSyntax code, std::size_t offset, bool ended);
  bool parse_escape(std::string& out);
  bool parse_unicode_escape(std::string& out);
  bool hex_escape(std::uint16_t& out, bool need_low);
  bool skip_string();
  bool skip_number();
  bool skip_fraction_and_exponent();
  bool integer_value(bool positive, std::size_t start, std::size_t digits, JsonNumber& out);
  bool float_value(std::size_t start, JsonNumber& out);
  bool fast_f32(float& out);
  // The loop of read_compact_f32s, with or without the vector reading of short
  // decimals; the vector form is compiled for processors that have it.
  // With kOnce, one element at most.
  template <bool kVector, bool kOnce>
  void compact_f32s(Embedding& out, bool& first);
  void compact_f32s_vector(Embedding& out, bool& first);
  // The vector loop's common case, a run of short decimals, ended at a block's
  // separators; stops where compact_f32s must take over.
  void compact_f32s_blocks(Embedding& out, bool& first);
  bool skip_close(char frame, bool accept_comma, std::string& stack, char& top);

  std::string_view text_;
  std::size_t pos_ = 0;
  int depth_left_ = 128;
  std::optional<VectorDbError> error_;
  std::size_t offset_ = kUnplaced;
  bool ended_ = false;
  bool doomed_ = false;
};

}  // namespace pvdb::core
