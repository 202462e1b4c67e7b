#include <string>

#include "core/json_reader.h"

namespace pvdb::core {

// Steps over closing brackets after a value. Returns false on failure; otherwise
// `top` is the bracket whose next member or element comes next, or 0 when the
// skipped value is complete.
bool JsonReader::skip_close(char frame, bool accept_comma, std::string& stack, char& top) {
  for (;;) {
    const int c = peek_token();
    if (c == ',' && accept_comma) {
      bump();
      break;
    }
    if ((c == ']' && frame == '[') || (c == '}' && frame == '{')) {
      bump();
      if (stack.empty()) {
        top = 0;
        return true;
      }
      frame = stack.back();
      stack.pop_back();
      accept_comma = true;
      continue;
    }
    if (c < 0) {
      return fail_peek(
          frame == '[' ? JsonSyntax::EofWhileParsingList : JsonSyntax::EofWhileParsingObject, true);
    }
    if (accept_comma) {
      return fail_peek(frame == '[' ? JsonSyntax::ExpectedListCommaOrEnd
                                    : JsonSyntax::ExpectedObjectCommaOrEnd);
    }
    break;
  }
  top = frame;
  if (frame != '{') return true;
  int c = peek_token();
  if (c < 0) return fail_peek(JsonSyntax::EofWhileParsingObject, true);
  if (c != '"') return fail_peek(JsonSyntax::KeyMustBeString);
  bump();
  if (!skip_string()) return false;
  return object_colon();
}

// Unknown members may nest without limit, so the open brackets live in a string
// rather than on the call stack.
bool JsonReader::skip_value() {
  std::string stack;
  char enclosing = 0;
  for (;;) {
    const int c = peek_token();
    char frame = 0;
    bool ok = true;
    switch (c) {
      case -1:
        return fail_peek(JsonSyntax::EofWhileParsingValue, true);
      case 'n':
        bump();
        ok = parse_ident("ull");
        break;
      case 't':
        bump();
        ok = parse_ident("rue");
        break;
      case 'f':
        bump();
        ok = parse_ident("alse");
        break;
      case '-':
        bump();
        ok = skip_number();
        break;
      case '"':
        bump();
        ok = skip_string();
        break;
      case '[':
      case '{':
        if (enclosing != 0) stack.push_back(enclosing);
        enclosing = 0;
        bump();
        frame = static_cast<char>(c);
        break;
      default:
        if (c < '0' || c > '9') return fail_peek(JsonSyntax::ExpectedValue);
        ok = skip_number();
        break;
    }
    if (!ok) return false;
    bool accept_comma = true;
    if (frame != 0) {
      accept_comma = false;
    } else if (enclosing != 0) {
      frame = enclosing;
    } else if (!stack.empty()) {
      frame = stack.back();
      stack.pop_back();
    } else {
      return true;
    }
    if (!skip_close(frame, accept_comma, stack, enclosing)) return false;
    if (enclosing == 0) return true;
  }
}

bool JsonReader::fail_invalid_type(JsonExpected expected) {
  // Whatever follows, this document can no longer be valid.
  doomed_ = true;
  JsonFound found;
  JsonNumber number;
  const int c = peek();
  bool ok = true;
  switch (c) {
    case 'n':
      bump();
      ok = parse_ident("ull");
      break;
    case 't':
    case 'f':
      bump();
      ok = parse_ident(c == 't' ? "rue" : "alse");
      found = {JsonFound::Kind::Bool, c == 't' ? "true" : "false"};
      break;
    case '-':
      bump();
      ok = parse_number(false, number);
      found = number.found();
      break;
    case '"':
      bump();
      found.kind = JsonFound::Kind::String;
      ok = parse_string(found.text);
      break;
    case '[':
      found.kind = JsonFound::Kind::Sequence;
      break;
    case '{':
      found.kind = JsonFound::Kind::Map;
      break;
    default:
      if (c < '0' || c > '9') return fail_peek(JsonSyntax::ExpectedValue);
      ok = parse_number(true, number);
      found = number.found();
      break;
  }
  if (!ok) return false;
  fail_unplaced(VectorDbError::json_invalid_type(found, expected));
  return place();
}

}  // namespace pvdb::core
