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

bool read_array(JsonReader& reader, JsonValue& out) {
  if (!reader.enter()) return false;
  reader.bump();
  out.kind = JsonValue::Kind::Array;
  out.complete = false;
  bool first = true;
  for (;;) {
    const int next = reader.next_element(first);
    if (next < 0) {
      // An element cut off right after its comma still counts towards the length.
      if (reader.ended() && reader.after_comma()) out.items.emplace_back();
      return false;
    }
    if (next == 0) break;
    if (!read_value(reader, out.items.emplace_back())) return false;
  }
  reader.leave();
  if (!reader.end_array(true)) return false;
  out.complete = true;
  return true;
}

bool read_object(JsonReader& reader, JsonValue& out) {
  if (!reader.enter()) return false;
  reader.bump();
  out.kind = JsonValue::Kind::Object;
  out.complete = false;
  bool first = true;
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return false;
    if (next == 0) break;
    out.key_complete = false;
    if (!reader.parse_string(out.keys.emplace_back())) return false;
    out.key_complete = true;
    if (!reader.object_colon()) return false;
    if (!read_value(reader, out.items.emplace_back())) return false;
  }
  reader.leave();
  if (!reader.end_object(true)) return false;
  out.complete = true;
  return true;
}

bool string_from_value(JsonReader& reader, const JsonValue& value, std::string& out) {
  if (value.kind != JsonValue::Kind::String) {
    return reader.fail_unplaced(
        VectorDbError::json_invalid_type(value.found(), JsonExpected::String));
  }
  out = value.text;
  return true;
}

bool f32_list_from_value(JsonReader& reader, const JsonValue& value, Embedding& out) {
  if (value.kind != JsonValue::Kind::Array) {
    return reader.fail_unplaced(
        VectorDbError::json_invalid_type(value.found(), JsonExpected::Sequence));
  }
  out.clear();
  out.reserve(value.items.size());
  for (const JsonValue& item : value.items) {
    if (item.kind != JsonValue::Kind::Number) {
      return reader.fail_unplaced(
          VectorDbError::json_invalid_type(item.found(), JsonExpected::F32));
    }
    out.push_back(item.number.to_f32());
  }
  return true;
}

bool could_be_string(const JsonValue& value) {
  return value.kind == JsonValue::Kind::Missing || value.kind == JsonValue::Kind::String;
}

bool could_be_f32_list(const JsonValue& value) {
  if (value.kind == JsonValue::Kind::Missing) return true;
  if (value.kind != JsonValue::Kind::Array) return false;
  for (const JsonValue& item : value.items) {
    const bool number = item.kind == JsonValue::Kind::Number ||
                        item.kind == JsonValue::Kind::PartialNumber ||
                        item.kind == JsonValue::Kind::Missing;
    if (!number) return false;
  }
  return true;
}

// A value, held or still cut short, of the field `field` of a record.
template <class V>
bool field_from_value(JsonReader& reader, const Field<VectorEntry, V>& field,
                      const JsonValue& value, VectorEntry& out) {
  V& target = out.*field.member;
  if constexpr (std::is_same_v<V, Embedding>) {
    return f32_list_from_value(reader, value, target);
  } else {
    return string_from_value(reader, value, target);
  }
}

template <class V>
bool could_be_field(const Field<VectorEntry, V>&, const JsonValue& value) {
  if constexpr (std::is_same_v<V, Embedding>) {
    return could_be_f32_list(value);
  } else {
    return could_be_string(value);
  }
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
      return read_array(reader, out);
    case '{':
      return read_object(reader, out);
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
bool from_value(JsonReader& reader, const S& shape, const JsonValue& value, VectorEntry& out) {
  const auto read = [&](int field, const JsonValue& item) {
    return shape.visit(field,
                       [&](const auto& f) { return field_from_value(reader, f, item, out); });
  };
  if (value.kind == JsonValue::Kind::Array) {
    for (int field = 0; field < S::kCount; ++field) {
      if (static_cast<std::size_t>(field) >= value.items.size()) {
        return reader.fail_unplaced(VectorDbError::json_invalid_length(field, shape.elements));
      }
      if (!read(field, value.items[field])) return false;
    }
    if (value.items.size() > S::kCount) {
      return reader.fail_unplaced(
          VectorDbError::json_invalid_length_in_sequence(value.items.size(), S::kCount));
    }
    return true;
  }
  if (value.kind != JsonValue::Kind::Object) {
    return reader.fail_unplaced(VectorDbError::json_invalid_type(value.found(), shape.type));
  }
  bool seen[S::kCount] = {};
  for (std::size_t i = 0; i < value.keys.size(); ++i) {
    const int field = shape.find(value.keys[i]);
    if (field < 0) continue;
    if (seen[field]) {
      return reader.fail_unplaced(VectorDbError::json_duplicate_field(shape.names[field]));
    }
    if (!read(field, value.items[i])) return false;
    seen[field] = true;
  }
  for (int field = 0; field < S::kCount; ++field) {
    if (!seen[field]) {
      return reader.fail_unplaced(VectorDbError::json_missing_field(shape.names[field]));
    }
  }
  return true;
}

template <class S>
bool could_become(const S& shape, const JsonValue& value) {
  const auto could = [&](int field, const JsonValue& item) {
    return shape.visit(field, [&](const auto& f) { return could_be_field(f, item); });
  };
  if (value.kind == JsonValue::Kind::Missing) return true;
  if (value.kind == JsonValue::Kind::Array) {
    if (value.items.size() > S::kCount) return false;
    for (std::size_t i = 0; i < value.items.size(); ++i) {
      if (!could(static_cast<int>(i), value.items[i])) return false;
    }
    return !value.complete || value.items.size() == S::kCount;
  }
  if (value.kind != JsonValue::Kind::Object) return false;
  bool seen[S::kCount] = {};
  for (std::size_t i = 0; i < value.keys.size(); ++i) {
    // A member name cut short may still become one the shape does not know.
    if (i + 1 == value.keys.size() && !value.key_complete) return true;
    const int field = shape.find(value.keys[i]);
    if (field < 0) continue;
    if (seen[field]) return false;
    seen[field] = true;
    if (i < value.items.size() && !could(field, value.items[i])) return false;
  }
  if (!value.complete) return true;
  for (bool present : seen) {
    if (!present) return false;
  }
  return true;
}

using EntryShape = std::remove_const_t<decltype(kEntryShape)>;
using DeleteShape = std::remove_const_t<decltype(kDeleteShape)>;
template bool from_value(JsonReader&, const EntryShape&, const JsonValue&, VectorEntry&);
template bool from_value(JsonReader&, const DeleteShape&, const JsonValue&, VectorEntry&);
template bool could_become(const EntryShape&, const JsonValue&);
template bool could_become(const DeleteShape&, const JsonValue&);

}  // namespace pvdb::core
