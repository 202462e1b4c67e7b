#include "core/json_reader.h"

#include <algorithm>
#include <array>

#include "base/utf8.h"

namespace pvdb::core {

namespace {

bool is_space(int c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bytes that end a plain run inside a string: quote, backslash, control bytes.
constexpr std::array<bool, 256> make_string_stops() {
  std::array<bool, 256> stops{};
  for (int byte = 0; byte < 0x20; ++byte) stops[byte] = true;
  stops['"'] = true;
  stops['\\'] = true;
  return stops;
}

constexpr std::array<bool, 256> kStringStop = make_string_stops();

// Which \u values may still complete a cut-off escape.
enum class HexNeed { Any, NotLow, Low };

// Whether the hex digits before the end of the text can still become an escape
// that the string accepts.
bool hex_prefix_viable(std::string_view digits, HexNeed need) {
  for (char c : digits) {
    if (hex_value(c) < 0) return false;
  }
  const bool d_first = !digits.empty() && (digits[0] == 'd' || digits[0] == 'D');
  const bool low_second = digits.size() >= 2 && hex_value(digits[1]) >= 0xC;
  switch (need) {
    case HexNeed::Any:
      return true;
    case HexNeed::NotLow:
      return !(d_first && low_second);
    case HexNeed::Low:
      return digits.empty() || (d_first && (digits.size() < 2 || low_second));
  }
  return true;
}

}  // namespace

int JsonReader::peek_token() {
  while (pos_ < text_.size() && is_space(static_cast<unsigned char>(text_[pos_]))) ++pos_;
  return peek();
}

bool JsonReader::after_comma() const {
  std::size_t i = pos_;
  while (i > 0 && is_space(static_cast<unsigned char>(text_[i - 1]))) --i;
  return i > 0 && text_[i - 1] == ',';
}

// ---- Failures ----

bool JsonReader::fail_at(JsonSyntax code, std::size_t offset, bool ended) {
  if (error_) return false;
  error_ = VectorDbError::json_syntax(code, 0, 0);
  offset_ = offset;
  ended_ = ended;
  return false;
}

bool JsonReader::fail_peek(JsonSyntax code, bool ended) {
  return fail_at(code, std::min(pos_ + 1, text_.size()), ended);
}

bool JsonReader::fail_here(JsonSyntax code, bool ended) { return fail_at(code, pos_, ended); }

bool JsonReader::fail_unplaced(VectorDbError error) {
  if (error_) return false;
  error_ = std::move(error);
  offset_ = kUnplaced;
  ended_ = false;
  return false;
}

bool JsonReader::place() {
  if (error_ && offset_ == kUnplaced) offset_ = std::min(pos_, text_.size());
  return false;
}

VectorDbError JsonReader::take_error() {
  VectorDbError error = std::move(*error_);
  if (offset_ != kUnplaced) {
    const std::string_view before = text_.substr(0, offset_);
    const std::size_t last_feed = before.rfind('\n');
    const std::size_t line_start = last_feed == std::string_view::npos ? 0 : last_feed + 1;
    const auto feeds = std::count(before.begin(), before.end(), '\n');
    error.set_position(1 + static_cast<std::uint64_t>(feeds), offset_ - line_start);
  }
  return error;
}

// ---- Structure ----

bool JsonReader::enter() {
  if (--depth_left_ == 0) return fail_peek(JsonSyntax::RecursionLimit);
  return true;
}

int JsonReader::next_member(bool& first) {
  int c = peek_token();
  if (c == '}') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_token();
  } else if (c < 0) {
    fail_peek(JsonSyntax::EofWhileParsingObject, true);
    return -1;
  } else if (first) {
    first = false;
  } else {
    fail_peek(JsonSyntax::ExpectedObjectCommaOrEnd);
    return -1;
  }
  if (c == '"') {
    bump();
    return 1;
  }
  if (c == '}') {
    fail_peek(JsonSyntax::TrailingComma);
  } else if (c < 0) {
    fail_peek(JsonSyntax::EofWhileParsingValue, true);
  } else {
    fail_peek(JsonSyntax::KeyMustBeString);
  }
  return -1;
}

int JsonReader::next_element(bool& first) {
  int c = peek_token();
  if (c == ']') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_token();
  } else if (c < 0) {
    fail_peek(JsonSyntax::EofWhileParsingList, true);
    return -1;
  } else if (first) {
    first = false;
  } else {
    fail_peek(JsonSyntax::ExpectedListCommaOrEnd);
    return -1;
  }
  if (c == ']') {
    fail_peek(JsonSyntax::TrailingComma);
    return -1;
  }
  if (c < 0) {
    fail_peek(JsonSyntax::EofWhileParsingValue, true);
    return -1;
  }
  return 1;
}

bool JsonReader::object_colon() {
  const int c = peek_token();
  if (c == ':') {
    bump();
    return true;
  }
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingObject, true);
  return fail_peek(JsonSyntax::ExpectedColon);
}

bool JsonReader::end_object(bool ok) {
  const int c = peek_token();
  if (c == '}') {
    bump();
    return ok;
  }
  if (!ok) return false;
  if (c == ',') return fail_peek(JsonSyntax::TrailingComma);
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingObject, true);
  return fail_peek(JsonSyntax::TrailingCharacters);
}

bool JsonReader::end_array(bool ok) {
  int c = peek_token();
  if (c == ']') {
    bump();
    return ok;
  }
  if (c == ',') {
    bump();
    c = peek_token();
    if (!ok) return false;
    return fail_peek(c == ']' ? JsonSyntax::TrailingComma : JsonSyntax::TrailingCharacters);
  }
  if (!ok) return false;
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingList, true);
  return fail_peek(JsonSyntax::TrailingCharacters);
}

bool JsonReader::finish() {
  if (peek_token() >= 0) return fail_peek(JsonSyntax::TrailingCharacters);
  return true;
}

bool JsonReader::parse_ident(const char* rest) {
  for (; *rest != '\0'; ++rest) {
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingValue, true);
    if (text_[pos_++] != *rest) return fail_here(JsonSyntax::ExpectedIdent);
  }
  return true;
}

// ---- Strings ----

bool JsonReader::parse_string(std::string& out) {
  out.clear();
  const std::size_t body = pos_;
  bool high = false;
  for (;;) {
    const std::size_t start = pos_;
    unsigned char byte = 0;
    while (pos_ < text_.size() && !kStringStop[byte = static_cast<unsigned char>(text_[pos_])]) {
      high |= byte >= 0x80;
      ++pos_;
    }
    out.append(text_.data() + start, pos_ - start);
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingString, true);
    ++pos_;
    if (byte == '"') break;
    if (byte != '\\') return fail_here(JsonSyntax::ControlCharacter);
    if (!parse_escape(out)) return false;
  }
  if (high && !base::is_valid_utf8(text_.substr(body, pos_ - body))) {
    return fail_here(JsonSyntax::InvalidCodePoint);
  }
  return true;
}

bool JsonReader::parse_escape(std::string& out) {
  if (at_end()) return fail_here(JsonSyntax::EofWhileParsingString, true);
  switch (text_[pos_++]) {
    case '"':
      out += '"';
      return true;
    case '\\':
      out += '\\';
      return true;
    case '/':
      out += '/';
      return true;
    case 'b':
      out += '\b';
      return true;
    case 'f':
      out += '\f';
      return true;
    case 'n':
      out += '\n';
      return true;
    case 'r':
      out += '\r';
      return true;
    case 't':
      out += '\t';
      return true;
    case 'u':
      return parse_unicode_escape(out);
    default:
      return fail_here(JsonSyntax::InvalidEscape);
  }
}

// Four hex digits. A text that ends within them fails as an unfinished string.
bool JsonReader::hex_escape(std::uint16_t& out, bool need_low) {
  if (text_.size() - pos_ < 4) {
    const bool viable =
        hex_prefix_viable(text_.substr(pos_), need_low ? HexNeed::Low : HexNeed::NotLow);
    pos_ = text_.size();
    return fail_here(JsonSyntax::EofWhileParsingString, viable);
  }
  int value = 0;
  bool hex = true;
  for (int k = 0; k < 4; ++k) {
    const int digit = hex_value(text_[pos_ + k]);
    hex &= digit >= 0;
    value = value * 16 + digit;
  }
  pos_ += 4;
  if (!hex) return fail_here(JsonSyntax::InvalidEscape);
  out = static_cast<std::uint16_t>(value);
  return true;
}

// A surrogate escape must be a high one followed directly by a low one.
bool JsonReader::parse_unicode_escape(std::string& out) {
  std::uint16_t high = 0;
  if (!hex_escape(high, false)) return false;
  if (high >= 0xDC00 && high <= 0xDFFF) return fail_here(JsonSyntax::LoneLeadingSurrogate);
  if (high < 0xD800 || high > 0xDBFF) {
    base::append_utf8(out, high);
    return true;
  }
  for (const char expected : {'\\', 'u'}) {
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingString, true);
    if (text_[pos_++] != expected) return fail_here(JsonSyntax::UnexpectedEndOfHexEscape);
  }
  std::uint16_t low = 0;
  if (!hex_escape(low, true)) return false;
  if (low < 0xDC00 || low > 0xDFFF) return fail_here(JsonSyntax::LoneLeadingSurrogate);
  base::append_utf8(out,
                    0x10000 + ((static_cast<std::uint32_t>(high - 0xD800) << 10) | (low - 0xDC00)));
  return true;
}

// A skipped string checks escapes for form only, not surrogate pairing.
bool JsonReader::skip_string() {
  for (;;) {
    unsigned char byte = 0;
    while (pos_ < text_.size() && !kStringStop[byte = static_cast<unsigned char>(text_[pos_])]) {
      ++pos_;
    }
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingString, true);
    ++pos_;
    if (byte == '"') return true;
    if (byte != '\\') return fail_here(JsonSyntax::ControlCharacter);
    if (at_end()) return fail_here(JsonSyntax::EofWhileParsingString, true);
    const char escape = text_[pos_++];
    if (escape == 'u') {
      if (text_.size() - pos_ < 4) {
        const bool viable = hex_prefix_viable(text_.substr(pos_), HexNeed::Any);
        pos_ = text_.size();
        return fail_here(JsonSyntax::EofWhileParsingString, viable);
      }
      pos_ += 4;
      for (int k = 4; k > 0; --k) {
        if (hex_value(text_[pos_ - k]) < 0) return fail_here(JsonSyntax::InvalidEscape);
      }
    } else if (std::string_view("\"\\/bfnrt").find(escape) == std::string_view::npos) {
      return fail_here(JsonSyntax::InvalidEscape);
    }
  }
}

}  // namespace pvdb::core
