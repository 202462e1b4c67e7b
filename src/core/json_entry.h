#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/json_reader.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// Typed decoders over a JsonReader, shared by the snapshot and the log. Each reads
// one value at the cursor (after optional whitespace) into `out` and returns false
// with the reader's failure set. Records come as objects with members in any
// order, unknown members skipped, or as arrays with values in member order.

// A record's member names, in the order of its array form.
inline constexpr std::string_view kEntryFields[] = {"id", "embedding", "metadata", "created_at"};
inline constexpr int kEntryFieldCount = 4;

// The position of `name` in kEntryFields, or -1 for a name a record does not have.
inline int entry_field(std::string_view name) {
  for (int field = 0; field < kEntryFieldCount; ++field) {
    if (name == kEntryFields[field]) return field;
  }
  return -1;
}

// `capacity` is a guess at the element count, used to reserve space.
bool read_f32_list(JsonReader& reader, Embedding& out, std::size_t capacity = 0);
bool read_entry(JsonReader& reader, VectorEntry& out, std::size_t capacity = 0);
// The data of a delete record: {"id":S} or [S].
bool read_delete_data(JsonReader& reader, std::string& id);

}  // namespace pvdb::core
