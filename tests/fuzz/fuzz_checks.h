#pragma once

// Checks shared by the fuzz targets: a failed check prints why and aborts, which
// libFuzzer reports as a crash and saves the input for.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/snapshot.h"
#include "core/wal.h"

namespace pvdb::fuzz {

using core::Snapshot;
using core::VectorEntry;
using core::WalRecord;

[[noreturn]] inline void fail(const char* why, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz check failed: %s\n%.*s\n", why, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

inline void check(bool ok, const char* why, std::string_view detail = {}) {
  if (!ok) fail(why, detail);
}

// Floats compare by bit pattern: -0.0 and 0.0 differ, and == would hide that.
inline bool same_entry(const VectorEntry& a, const VectorEntry& b) {
  const auto same_bits = [](float x, float y) {
    return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
  };
  return a.id == b.id && a.metadata == b.metadata && a.created_at == b.created_at &&
         std::ranges::equal(a.embedding, b.embedding, same_bits);
}

inline bool all_finite(const VectorEntry& entry) {
  return std::ranges::all_of(entry.embedding, [](float x) { return std::isfinite(x); });
}

// The writer turns a non-finite element into null, which never reads back.
inline bool is_null_element_error(const core::VectorDbError& error) {
  return error.description() == "invalid type: null, expected f32";
}

inline std::string encode_snapshot_text(const Snapshot& snapshot) {
  std::vector<const VectorEntry*> entries;
  for (const auto& entry : snapshot.entries) entries.push_back(&entry);
  std::string out;
  core::encode_snapshot(out, snapshot.dim, entries);
  return out;
}

// The whole line, line feed included.
inline std::string encode_record(const WalRecord& record) {
  std::string line;
  if (record.op == WalRecord::Op::Upsert) {
    core::encode_wal_upsert(line, record.entry);
  } else {
    core::encode_wal_delete(line, record.entry.id);
  }
  return line;
}

// Encodes `snapshot`, reads it back and encodes again: the records must come back bit
// for bit and the second text must equal the first. A non-finite element must make
// the read fail, with the one error the writer's null causes.
inline void check_snapshot_round_trip(const Snapshot& snapshot) {
  const std::string text = encode_snapshot_text(snapshot);
  check(text.find_first_of("\t\r\n") == std::string::npos, "raw tab or line break in a snapshot",
        text);
  auto again = core::decode_snapshot(text);
  if (!std::ranges::all_of(snapshot.entries, all_finite)) {
    check(!again.ok() && is_null_element_error(again.error()),
          "a non-finite element did not fail as null", text);
    return;
  }
  if (!again.ok()) fail("encoded snapshot does not decode", again.error().message() + "\n" + text);
  check(again.value().dim == snapshot.dim, "dim changed", text);
  check(std::ranges::equal(again.value().entries, snapshot.entries, same_entry), "entry changed",
        text);
  check(encode_snapshot_text(again.value()) == text, "re-encoding differs", text);
}

// The same for one log record; an encoded line ends in exactly one line feed, and a
// delete keeps only the id.
inline void check_record_round_trip(const WalRecord& record) {
  const std::string line = encode_record(record);
  check(!line.empty() && line.find('\n') == line.size() - 1 && line.find('\r') == std::string::npos,
        "a log line must end in its only line feed", line);
  bool ended_early = true;
  auto again =
      core::decode_wal_line(std::string_view(line).substr(0, line.size() - 1), &ended_early);
  if (!all_finite(record.entry)) {
    check(!again.ok() && is_null_element_error(again.error()),
          "a non-finite element did not fail as null", line);
    check(!ended_early, "a null element is not a cut-off line", line);
    return;
  }
  if (!again.ok()) fail("encoded record does not decode", again.error().message() + "\n" + line);
  check(!ended_early, "a decoded line reports ended early", line);
  check(again.value().op == record.op, "op changed", line);
  const bool upsert = record.op == WalRecord::Op::Upsert;
  check(same_entry(again.value().entry,
                   upsert ? record.entry : VectorEntry{record.entry.id, {}, {}, {}}),
        "record changed", line);
  check(encode_record(again.value()) == line, "re-encoding differs", line);
}

}  // namespace pvdb::fuzz
