#include "core/snapshot.h"

#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_writer.h"

namespace pvdb::core {

void encode_snapshot(std::string& out, std::uint64_t dim,
                     std::span<const VectorEntry* const> entries) {
  // One allocation up front: growing a buffer of this size by doubling would
  // copy it several times over.
  std::size_t estimate = out.size() + 64;
  for (const VectorEntry* entry : entries) {
    estimate += 64 + entry->id.size() + entry->metadata.size() + entry->created_at.size() +
                entry->embedding.size() * 12;
  }
  out.reserve(estimate);
  out.append("{\"dim\":");
  write_json_u64(out, dim);
  out.append(",\"entries\":[");
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) out.push_back(',');
    write_entry(out, *entries[i]);
  }
  out.append("]}");
}

namespace {

bool read_entries(JsonReader& reader, std::vector<VectorEntry>& out, std::uint64_t dim) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '[') return reader.fail_invalid_type(JsonExpected::Sequence);
  if (!reader.enter()) return false;
  reader.bump();
  out.clear();
  bool ok = true;
  bool first = true;
  // The dimension, when read already, sizes every embedding up front.
  std::size_t capacity = dim <= (1u << 16) ? static_cast<std::size_t>(dim) : 0;
  for (;;) {
    const int next = reader.next_element(first);
    if (next <= 0) {
      ok = next == 0;
      break;
    }
    VectorEntry& entry = out.emplace_back();
    if (!read_entry(reader, entry, capacity)) {
      ok = false;
      break;
    }
    capacity = entry.embedding.size();
  }
  reader.leave();
  return reader.end_array(ok) || reader.place();
}

bool snapshot_members(JsonReader& reader, Snapshot& out) {
  bool seen_dim = false;
  bool seen_entries = false;
  bool first = true;
  std::string key;
  for (;;) {
    const int next = reader.next_member(first);
    if (next < 0) return false;
    if (next == 0) break;
    if (!reader.parse_string(key)) return false;
    const bool is_dim = key == "dim";
    const bool is_entries = key == "entries";
    if ((is_dim && seen_dim) || (is_entries && seen_entries)) {
      return reader.fail_unplaced(VectorDbError::json_duplicate_field(key));
    }
    if (!reader.object_colon()) return false;
    bool ok;
    if (is_dim) {
      ok = reader.read_usize(out.dim);
    } else if (is_entries) {
      ok = read_entries(reader, out.entries, out.dim);
    } else {
      ok = reader.skip_value();
    }
    if (!ok) return false;
    seen_dim |= is_dim;
    seen_entries |= is_entries;
  }
  if (!seen_dim) return reader.fail_unplaced(VectorDbError::json_missing_field("dim"));
  if (!seen_entries) return reader.fail_unplaced(VectorDbError::json_missing_field("entries"));
  return true;
}

bool snapshot_elements(JsonReader& reader, Snapshot& out) {
  bool first = true;
  for (int field = 0; field < 2; ++field) {
    const int next = reader.next_element(first);
    if (next < 0) return false;
    if (next == 0) {
      return reader.fail_unplaced(
          VectorDbError::json_invalid_length(field, JsonExpected::SnapshotElements));
    }
    if (!(field == 0 ? reader.read_usize(out.dim) : read_entries(reader, out.entries, out.dim))) {
      return false;
    }
  }
  return true;
}

bool read_snapshot(JsonReader& reader, Snapshot& out) {
  const int c = reader.peek_token();
  if (c < 0) return reader.fail_peek(JsonSyntax::EofWhileParsingValue, true);
  if (c != '{' && c != '[') return reader.fail_invalid_type(JsonExpected::Snapshot);
  if (!reader.enter()) return false;
  reader.bump();
  const bool ok = c == '{' ? snapshot_members(reader, out) : snapshot_elements(reader, out);
  reader.leave();
  return (c == '{' ? reader.end_object(ok) : reader.end_array(ok)) || reader.place();
}

}  // namespace

Result<Snapshot> decode_snapshot(std::string_view text) {
  JsonReader reader(text);
  Snapshot snapshot;
  if (!read_snapshot(reader, snapshot) || !reader.finish()) return reader.take_error();
  return snapshot;
}

}  // namespace pvdb::core
