#pragma once

#include <cstddef>
#include <string>
#include <type_traits>

#include "core/json_reader.h"
#include "core/json_shape.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// Typed decoders over a JsonReader, shared by the snapshot and the log. Each reads
// one value at the cursor (after optional whitespace) into `out` and returns false
// with the reader's failure set.

// `capacity` is a guess at the element count, used to reserve space.
bool read_f32_list(JsonReader& reader, Embedding& out, std::size_t capacity = 0);

// A value of a shape over a record's fields: a record (kEntryShape) or the data of
// a delete (kDeleteShape).
template <class S>
bool read_record(JsonReader& reader, const S& shape, VectorEntry& out, std::size_t capacity) {
  return read_shape(reader, shape, [&](const auto& field) {
    auto& value = out.*field.member;
    if constexpr (std::is_same_v<decltype(value), Embedding&>) {
      return read_f32_list(reader, value, capacity);
    } else {
      return reader.read_string(value);
    }
  });
}
bool read_entry(JsonReader& reader, VectorEntry& out, std::size_t capacity = 0);

// {"id":S,"embedding":[F,...],"metadata":S,"created_at":S}
void write_entry(std::string& out, const VectorEntry& entry);

}  // namespace pvdb::core
