#pragma once

// Checks shared by the fuzz targets: a failed check prints why and aborts, which
// libFuzzer reports as a crash and saves the input for.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
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
inline bool same_bits(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::uint32_t x;
    std::uint32_t y;
    std::memcpy(&x, &a[i], sizeof x);
    std::memcpy(&y, &b[i], sizeof y);
    if (x != y) return false;
  }
  return true;
}

inline bool same_entry(const VectorEntry& a, const VectorEntry& b) {
  return a.id == b.id && a.metadata == b.metadata && a.created_at == b.created_at &&
         same_bits(a.embedding, b.embedding);
}

inline bool all_finite(const VectorEntry& entry) {
  for (float x : entry.embedding) {
    if (!std::isfinite(x)) return false;
  }
  return true;
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
  bool finite = true;
  for (const auto& entry : snapshot.entries) finite = finite && all_finite(entry);
  auto again = core::decode_snapshot(text);
  if (!finite) {
    check(!again.ok() && is_null_element_error(again.error()),
          "a non-finite element did not fail as null", text);
    return;
  }
  if (!again.ok()) fail("encoded snapshot does not decode", again.error().message() + "\n" + text);
  check(again.value().dim == snapshot.dim, "dim changed", text);
  check(again.value().entries.size() == snapshot.entries.size(), "entry count changed", text);
  for (std::size_t i = 0; i < snapshot.entries.size(); ++i) {
    check(same_entry(again.value().entries[i], snapshot.entries[i]), "entry changed", text);
  }
  check(encode_snapshot_text(again.value()) == text, "re-encoding differs", text);
}

// The same for one log record; an encoded line ends in exactly one line feed.
inline void check_record_round_trip(const WalRecord& record) {
  const std::string line = encode_record(record);
  check(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1 &&
            line.find('\r') == std::string::npos,
        "a log line must end in its only line feed", line);
  const std::string_view text(line.data(), line.size() - 1);
  bool ended_early = true;
  auto again = core::decode_wal_line(text, &ended_early);
  if (!all_finite(record.entry)) {
    check(!again.ok() && is_null_element_error(again.error()),
          "a non-finite element did not fail as null", line);
    check(!ended_early, "a null element is not a cut-off line", line);
    return;
  }
  if (!again.ok()) fail("encoded record does not decode", again.error().message() + "\n" + line);
  check(!ended_early, "a decoded line reports ended early", line);
  check(again.value().op == record.op, "op changed", line);
  const VectorEntry& back = again.value().entry;
  if (record.op == WalRecord::Op::Delete) {
    check(back.id == record.entry.id && back.embedding.empty() && back.metadata.empty() &&
              back.created_at.empty(),
          "delete changed", line);
  } else {
    check(same_entry(back, record.entry), "upsert changed", line);
  }
  check(encode_record(again.value()) == line, "re-encoding differs", line);
}

}  // namespace pvdb::fuzz
