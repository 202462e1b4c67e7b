#include "core/json_entry.h"

#include <string_view>

namespace pvdb::core {

namespace {

bool read_entry_field(JsonReader& reader, int field, VectorEntry& out, std::size_t capacity) {
  switch (field) {
    case 0:
      return reader.read_string(out.id);
    case 1:
      return read_f32_list(reader, out.embedding, capacity);
    case 2:
      return reader.read_string(out.metadata);
    default:
      return reader.read_string(out.created_at);
  }
}

bool entry_members(JsonReader& reader, VectorEntry& out, std::size_t capacity) {
  bool seen[kEntryFieldCount] = {};
  bool first = true;
  std::string key;
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!reader.parse_string(key)) return false;
    const int field = entry_field(key);
    if (field >= 0 && seen[field]) {
      return reader.fail_unplaced(VectorDbError::json_duplicate_field(kEntryFields[field]));
    }
    if (!reader.object_colon()) return false;
    if (field < 0) {
      if (!reader.skip_value()) return false;
      continue;
    }
    if (!read_entry_field(reader, field, out, capacity)) return false;
    seen[field] = true;
  }
  for (int field = 0; field < kEntryFieldCount; ++field) {
    if (!seen[field]) {
      return reader.fail_unplaced(VectorDbError::json_missing_field(kEntryFields[field]));
    }
  }
  return true;
}

bool entry_elements(JsonReader& reader, VectorEntry& out, std::size_t capacity) {
  bool first = true;
  for (int field = 0; field < kEntryFieldCount; ++field) {
    const int next = reader.next_element(first);
    if (next < 0) return false;
    if (next == 0) {
      return reader.fail_unplaced(
          VectorDbError::json_invalid_length(field, JsonExpected::VectorEntryElements));
    }
    if (!read_entry_field(reader, field, out, capacity)) return false;
  }
  return true;
}

bool delete_members(JsonReader& reader, std::string& id) {
  bool seen = false;
  bool first = true;
  std::string key;
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!reader.parse_string(key)) return false;
    const bool is_id = key == "id";
    if (is_id && seen) return reader.fail_unplaced(VectorDbError::json_duplicate_field("id"));
    if (!reader.object_colon()) return false;
    if (!(is_id ? reader.read_string(id) : reader.skip_value())) return false;
    seen |= is_id;
  }
  if (!seen) return reader.fail_unplaced(VectorDbError::json_missing_field("id"));
  return true;
}

bool delete_elements(JsonReader& reader, std::string& id) {
  bool first = true;
  const int next = reader.next_element(first);
  if (next < 0) return false;
  if (next == 0) {
    return reader.fail_unplaced(
        VectorDbError::json_invalid_length(0, JsonExpected::DeleteElements));
  }
  return reader.read_string(id);
}

}  // namespace

bool read_f32_list(JsonReader& reader, Embedding& out, std::size_t capacity) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '[') return reader.fail_invalid_type(JsonExpected::Sequence);
  if (!reader.enter()) return false;
  reader.bump();
  out.clear();
  out.reserve(capacity);
  bool ok = true;
  bool first = true;
  for (;;) {
    reader.read_compact_f32s(out, first);
    const int next = reader.next_element(first);
    if (next <= 0) {
      ok = next == 0;
      break;
    }
    float value;
    if (!reader.read_f32(value)) {
      ok = false;
      break;
    }
    out.push_back(value);
  }
  reader.leave();
  return reader.end_array(ok) || reader.place();
}

bool read_entry(JsonReader& reader, VectorEntry& out, std::size_t capacity) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(JsonExpected::VectorEntry);
  if (!reader.enter()) return false;
  reader.bump();
  const bool ok =
      c == '{' ? entry_members(reader, out, capacity) : entry_elements(reader, out, capacity);
  reader.leave();
  return (c == '{' ? reader.end_object(ok) : reader.end_array(ok)) || reader.place();
}

bool read_delete_data(JsonReader& reader, std::string& id) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(JsonExpected::DeleteVariant);
  if (!reader.enter()) return false;
  reader.bump();
  const bool ok = c == '{' ? delete_members(reader, id) : delete_elements(reader, id);
  reader.leave();
  return (c == '{' ? reader.end_object(ok) : reader.end_array(ok)) || reader.place();
}

}  // namespace pvdb::core
