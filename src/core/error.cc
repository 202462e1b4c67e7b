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

VectorDbError VectorDbError::from_os(base::IoError error) {
  switch (error.code) {
    case base::IoError::kNulInPath:
      return nul_in_path();
    case base::IoError::kWriteZero:
      return write_zero();
    default:
      return io_errno(error.code);
  }
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

VectorDbError VectorDbError::files_changed() {
  return VectorDbError(ErrorKind::Io,
                       "store files were changed by another writer since this store read them; "
                       "reopen the store to pick up the changes, then compact");
}

VectorDbError VectorDbError::json(std::string description, std::uint64_t line,
                                  std::uint64_t column) {
  VectorDbError error(ErrorKind::Json, std::move(description));
  error.line_ = line;
  error.column_ = column;
  return error;
}

// ---- JSON decoding ----

namespace {

const char* json_syntax_text(JsonSyntax code) {
  switch (code) {
    case JsonSyntax::EofWhileParsingList:
      return "EOF while parsing a list";
    case JsonSyntax::EofWhileParsingObject:
      return "EOF while parsing an object";
    case JsonSyntax::EofWhileParsingString:
      return "EOF while parsing a string";
    case JsonSyntax::EofWhileParsingValue:
      return "EOF while parsing a value";
    case JsonSyntax::ExpectedColon:
      return "expected `:`";
    case JsonSyntax::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case JsonSyntax::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case JsonSyntax::ExpectedIdent:
      return "expected ident";
    case JsonSyntax::ExpectedValue:
      return "expected value";
    case JsonSyntax::InvalidEscape:
      return "invalid escape";
    case JsonSyntax::InvalidNumber:
      return "invalid number";
    case JsonSyntax::NumberOutOfRange:
      return "number out of range";
    case JsonSyntax::InvalidCodePoint:
      return "invalid unicode code point";
    case JsonSyntax::ControlCharacter:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case JsonSyntax::KeyMustBeString:
      return "key must be a string";
    case JsonSyntax::LoneLeadingSurrogate:
      return "lone leading surrogate in hex escape";
    case JsonSyntax::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case JsonSyntax::TrailingComma:
      return "trailing comma";
    case JsonSyntax::TrailingCharacters:
      return "trailing characters";
    case JsonSyntax::RecursionLimit:
      return "recursion limit exceeded";
  }
  return "";
}

const char* json_expected_text(JsonExpected expected) {
  switch (expected) {
    case JsonExpected::String:
      return "a string";
    case JsonExpected::F32:
      return "f32";
    case JsonExpected::Usize:
      return "usize";
    case JsonExpected::Sequence:
      return "a sequence";
    case JsonExpected::Unit:
      return "unit";
    case JsonExpected::VariantIdentifier:
      return "variant identifier";
    case JsonExpected::VectorEntry:
      return "struct VectorEntry";
    case JsonExpected::Snapshot:
      return "struct Snapshot";
    case JsonExpected::WalRecord:
      return "adjacently tagged enum WalRecord";
    case JsonExpected::DeleteVariant:
      return "struct variant WalRecord::Delete";
    case JsonExpected::VectorEntryElements:
      return "struct VectorEntry with 4 elements";
    case JsonExpected::SnapshotElements:
      return "struct Snapshot with 2 elements";
    case JsonExpected::DeleteElements:
      return "struct variant WalRecord::Delete with 1 element";
  }
  return "";
}

// A found string is shown quoted, with quote, backslash and control characters
// escaped so that the message stays on one line.
void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    unsigned code = byte;
    // U+0080..U+009F arrive as C2 80..C2 9F and are control characters too.
    const bool c1 = byte == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) code = static_cast<unsigned char>(text[++i]);
    switch (code) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case 0:
        out += "\\0";
        continue;
      default:
        break;
    }
    if (code < 0x20 || code == 0x7F || c1) {
      out += "\\u{";
      if (code >= 0x10) out += kHex[code >> 4];
      out += kHex[code & 15];
      out += '}';
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
}

std::string found_text(const JsonFound& found) {
  switch (found.kind) {
    case JsonFound::Kind::Null:
      return "null";
    case JsonFound::Kind::Bool:
      return "boolean `" + found.text + "`";
    case JsonFound::Kind::Integer:
      return "integer `" + found.text + "`";
    case JsonFound::Kind::Float:
      return "floating point `" + found.text + "`";
    case JsonFound::Kind::String: {
      std::string text = "string ";
      append_quoted(text, found.text);
      return text;
    }
    case JsonFound::Kind::Sequence:
      return "sequence";
    case JsonFound::Kind::Map:
      return "map";
  }
  return {};
}

}  // namespace

VectorDbError VectorDbError::json_syntax(JsonSyntax code, std::uint64_t line,
                                         std::uint64_t column) {
  return json(json_syntax_text(code), line, column);
}

VectorDbError VectorDbError::json_missing_field(std::string_view name) {
  return json("missing field `" + std::string(name) + "`");
}

VectorDbError VectorDbError::json_duplicate_field(std::string_view name) {
  return json("duplicate field `" + std::string(name) + "`");
}

VectorDbError VectorDbError::json_unknown_variant(std::string_view name) {
  return json("unknown variant `" + std::string(name) + "`, expected `upsert` or `delete`");
}

VectorDbError VectorDbError::json_invalid_type(const JsonFound& found, JsonExpected expected) {
  return json("invalid type: " + found_text(found) + ", expected " + json_expected_text(expected));
}

VectorDbError VectorDbError::json_invalid_value(const JsonFound& found, JsonExpected expected) {
  return json("invalid value: " + found_text(found) + ", expected " + json_expected_text(expected));
}

VectorDbError VectorDbError::json_invalid_length(std::uint64_t length, JsonExpected expected) {
  return json("invalid length " + std::to_string(length) + ", expected " +
              json_expected_text(expected));
}

VectorDbError VectorDbError::json_invalid_length_in_sequence(std::uint64_t length,
                                                             std::uint64_t expected) {
  return json("invalid length " + std::to_string(length) + ", expected " +
              std::to_string(expected) + (expected == 1 ? " element" : " elements") +
              " in sequence");
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
