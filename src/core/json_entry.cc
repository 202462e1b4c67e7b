#include "core/json_entry.h"

#include "core/json_writer.h"

namespace pvdb::core {

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
  return read_record(reader, kEntryShape, out, capacity);
}

void write_entry(std::string& out, const VectorEntry& entry) {
  write_shape(out, kEntryShape, [&](const auto& field) {
    const auto& value = entry.*field.member;
    if constexpr (std::is_same_v<decltype(value), const Embedding&>) {
      write_json_f32_list(out, value);
    } else {
      write_json_string(out, value);
    }
  });
}

}  // namespace pvdb::core
