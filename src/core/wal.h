#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "core/result.h"
#include "core/vector_entry.h"

namespace pvdb::core {

// Append one whole log line: the record's compact JSON form and one line feed.
void encode_wal_upsert(std::string& out, const VectorEntry& entry);
void encode_wal_delete(std::string& out, std::string_view id);

// Decodes one log line that the reader has already split and trimmed. When
// `ended_early` is given it is set to whether the failure is only that the text ends
// before the record does (the text is a proper prefix of some valid record), which is
// how a line cut off by a crash during an append looks.
// `capacity` is the expected embedding length (the store's dimension), so the
// embedding is allocated once; 0 when unknown.
Result<WalRecord> decode_wal_line(std::string_view line, bool* ended_early = nullptr,
                                  std::size_t capacity = 0);

}  // namespace pvdb::core
