#include "core/json_value.h"

#include <string_view>
#include <type_traits>
#include <utility>

#include "core/json_shape.h"

namespace pvdb::core {

namespace {

bool read_literal(JsonReader& reader, JsonValue& out, const char* rest, bool value) {
  out.kind = JsonValue::Kind::PartialLiteral;
  reader.bump();
  if (!reader.parse_ident(rest)) return false;
  out.kind = *rest == 'u' ? JsonValue::Kind::Null : JsonValue::Kind::Bool;
  out.boolean = value;
  return true;
}

bool read_container(JsonReader& reader, JsonValue& out, bool object) {
  if (!reader.enter()) return false;
  reader.bump();
  out.kind = object ? JsonValue::Kind::Object : JsonValue::Kind::Array;
  out.complete = false;
  bool first = true;
  for (;;) {
    const int next = object ? reader.next_member(first) : reader.next_element(first);
    if (next < 0) {
      // An element cut off right after its comma still counts towards the length.
      if (!object && reader.ended() && reader.after_comma()) out.items.emplace_back();
      return false;
    }
    if (next == 0) break;
    if (object) {
      out.key_complete = false;
      if (!reader.parse_string(out.keys.emplace_back())) return false;
      out.key_complete = true;
      if (!reader.object_colon()) return false;
    }
    if (!read_value(reader, out.items.emplace_back())) return false;
  }
  reader.leave();
  if (!(object ? reader.end_object(true) : reader.end_array(true))) return false;
  out.complete = true;
  return true;
}

// A failure of a held value, kept on the reader when there is one to decode into.
bool fail(JsonReader* reader, VectorDbError error) {
  return reader != nullptr && reader->fail_unplaced(std::move(error));
}

// One field of a held record. A Missing value or a PartialNumber element only
// stands in a value cut short, which is never decoded, only checked.
template <class V>
bool held_field(JsonReader* reader, const Field<VectorEntry, V>& field, const JsonValue& value,
                VectorEntry* out) {
  if (value.kind == JsonValue::Kind::Missing) return true;
  if constexpr (std::is_same_v<V, Embedding>) {
    if (value.kind != JsonValue::Kind::Array) {
      return fail(reader, VectorDbError::json_invalid_type(value.found(), JsonExpected::Sequence));
    }
    Embedding* floats = out != nullptr ? &(out->*field.member) : nullptr;
    if (floats != nullptr) {
      floats->clear();
      floats->reserve(value.items.size());
    }
    for (const JsonValue& item : value.items) {
      if (item.kind == JsonValue::Kind::Number) {
        if (floats != nullptr) floats->push_back(item.number.to_f32());
      } else if (item.kind != JsonValue::Kind::PartialNumber &&
                 item.kind != JsonValue::Kind::Missing) {
        return fail(reader, VectorDbError::json_invalid_type(item.found(), JsonExpected::F32));
      }
    }
  } else {
    if (value.kind != JsonValue::Kind::String) {
      return fail(reader, VectorDbError::json_invalid_type(value.found(), JsonExpected::String));
    }
    if (out != nullptr) out->*field.member = value.text;
  }
  return true;
}

}  // namespace

JsonFound JsonValue::found() const {
  switch (kind) {
    case Kind::Bool:
      return {JsonFound::Kind::Bool, boolean ? "true" : "false"};
    case Kind::Number:
      return number.found();
    case Kind::String:
      return {JsonFound::Kind::String, text};
    case Kind::Array:
      return {JsonFound::Kind::Sequence, {}};
    case Kind::Object:
      return {JsonFound::Kind::Map, {}};
    default:
      return {JsonFound::Kind::Null, {}};
  }
}

bool read_value(JsonReader& reader, JsonValue& out) {
  const int c = reader.peek_token();
  switch (c) {
    case -1:
      return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
    case 'n':
      return read_literal(reader, out, "ull", false);
    case 't':
      return read_literal(reader, out, "rue", true);
    case 'f':
      return read_literal(reader, out, "alse", false);
    case '"':
      out.kind = JsonValue::Kind::String;
      out.complete = false;
      reader.bump();
      if (!reader.parse_string(out.text)) return false;
      out.complete = true;
      return true;
    case '[':
    case '{':
      return read_container(reader, out, c == '{');
    default:
      break;
  }
  if (c != '-' && (c < '0' || c > '9')) return reader.fail_peek(JsonSyntax::ExpectedValue);
  out.kind = JsonValue::Kind::PartialNumber;
  if (c == '-') reader.bump();
  if (!reader.parse_number(c != '-', out.number)) return false;
  out.kind = JsonValue::Kind::Number;
  return true;
}

template <class S>
bool decode_held(JsonReader* reader, const S& shape, const JsonValue& value, VectorEntry* out) {
  const auto field_at = [&](int field, const JsonValue& item) {
    return shape.visit(field, [&](const auto& f) { return held_field(reader, f, item, out); });
  };
  if (value.kind == JsonValue::Kind::Array) {
    const std::size_t size = value.items.size();
    for (int field = 0; field < S::kCount; ++field) {
      if (static_cast<std::size_t>(field) >= size) {
        return !value.complete ||
               fail(reader, VectorDbError::json_invalid_length(field, shape.elements));
      }
      if (!field_at(field, value.items[field])) return false;
    }
    return size <= S::kCount ||
           fail(reader, VectorDbError::json_invalid_length_in_sequence(size, S::kCount));
  }
  if (value.kind != JsonValue::Kind::Object) {
    return value.kind == JsonValue::Kind::Missing ||
           fail(reader, VectorDbError::json_invalid_type(value.found(), shape.type));
  }
  bool seen[S::kCount] = {};
  for (std::size_t i = 0; i < value.keys.size(); ++i) {
    // A member name cut short may still become one the shape does not know.
    if (i + 1 == value.keys.size() && !value.key_complete) return true;
    const int field = shape.find(value.keys[i]);
    if (field < 0) continue;
    if (seen[field]) return fail(reader, VectorDbError::json_duplicate_field(shape.names[field]));
    if (i < value.items.size() && !field_at(field, value.items[i])) return false;
    seen[field] = true;
  }
  for (int field = 0; field < S::kCount; ++field) {
    if (!seen[field]) {
      return !value.complete || fail(reader, VectorDbError::json_missing_field(shape.names[field]));
    }
  }
  return true;
}

template bool decode_held(JsonReader*, const std::remove_const_t<decltype(kEntryShape)>&,
                          const JsonValue&, VectorEntry*);
template bool decode_held(JsonReader*, const std::remove_const_t<decltype(kDeleteShape)>&,
                          const JsonValue&, VectorEntry*);

}  // namespace pvdb::core
