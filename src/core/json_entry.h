#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/json_reader.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// Typed decoders over a JsonReader, shared by the snapshot and the log. Each reads
// one value at the cursor (after optional whitespace) into `out` and returns false
// with the reader's failure set. Records come as objects with members in any
// order, unknown members skipped, or as arrays with values in member order.

// `capacity` is a guess at the element count, used to reserve space.
bool read_f32_list(JsonReader& reader, std::vector<float>& out, std::size_t capacity = 0);
bool read_entry(JsonReader& reader, VectorEntry& out, std::size_t capacity = 0);
// The data of a delete record: {"id":S} or [S].
bool read_delete_data(JsonReader& reader, std::string& id);

}  // namespace pvdb::core
