#pragma once

// Checks shared by the fuzz target and the round-trip test: a failed check prints why
// and aborts, which libFuzzer reports as a crash and saves the input for.

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
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

// Quote, backslash and the control characters with a short escape get it; other
// control characters are written as \u00XX.
inline std::string expected_string(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    const std::size_t named = std::string_view("\"\\\b\f\n\r\t").find(static_cast<char>(c));
    if (named != std::string_view::npos) {
      out += '\\';
      out += "\"\\bfnrt"[named];
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + '"';
}

// The shortest round-trip digits come from the standard library; the layout (fixed
// from 1e-6 up to below 1e13, else scientific) is the file format's.
inline std::string expected_float(float x) {
  if (!std::isfinite(x)) return "null";
  if (x == 0) return std::signbit(x) ? "-0.0" : "0.0";
  char buf[64];
  const auto res =
      std::to_chars(buf, buf + sizeof buf, std::fabs(x), std::chars_format::scientific);
  check(res.ec == std::errc(), "to_chars failed");
  const std::string sci(buf, res.ptr);
  const std::size_t e = sci.find('e');
  std::string digits = sci.substr(0, e);
  if (digits.size() > 1) digits.erase(1, 1);  // the point after the first digit
  const int exp = std::atoi(sci.c_str() + e + 1);
  const int n = static_cast<int>(digits.size());
  std::string out = x < 0 ? "-" : "";
  if (exp >= -6 && exp <= 12) {
    if (exp >= n - 1) {
      out += digits + std::string(static_cast<std::size_t>(exp - n + 1), '0') + ".0";
    } else if (exp >= 0) {
      out += digits.substr(0, static_cast<std::size_t>(exp + 1)) + "." +
             digits.substr(static_cast<std::size_t>(exp + 1));
    } else {
      out += "0." + std::string(static_cast<std::size_t>(-exp - 1), '0') + digits;
    }
  } else {
    out += digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    out += (exp < 0 ? "e-" : "e+") + std::to_string(std::abs(exp));
  }
  return out;
}

// An entry as the format writes it.
inline std::string expected_entry(const VectorEntry& entry) {
  std::string out = "{\"id\":" + expected_string(entry.id) + ",\"embedding\":[";
  for (std::size_t i = 0; i < entry.embedding.size(); ++i) {
    if (i > 0) out += ',';
    out += expected_float(entry.embedding[i]);
  }
  return out + "],\"metadata\":" + expected_string(entry.metadata) +
         ",\"created_at\":" + expected_string(entry.created_at) + "}";
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

// Encodes `snapshot` and reads it back: the text must be the format's and the records
// must come back bit for bit, so encoding them again gives the same text. A non-finite
// element must make the read fail, with the one error the writer's null causes.
inline void check_snapshot_round_trip(const Snapshot& snapshot) {
  std::vector<const VectorEntry*> entries;
  for (const auto& entry : snapshot.entries) entries.push_back(&entry);
  std::string text;
  core::encode_snapshot(text, snapshot.dim, entries);
  std::string expected = "{\"dim\":" + std::to_string(snapshot.dim) + ",\"entries\":[";
  for (const VectorEntry& entry : snapshot.entries) {
    expected += (&entry == snapshot.entries.data() ? "" : ",") + expected_entry(entry);
  }
  check(text == expected + "]}", "snapshot differs from the format", text + "\n" + expected);
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
}

// The same for one log record; an encoded line ends in exactly one line feed, and a
// delete keeps only the id.
inline void check_record_round_trip(const WalRecord& record) {
  const std::string line = encode_record(record);
  const bool upsert = record.op == WalRecord::Op::Upsert;
  const std::string expected =
      upsert ? "{\"op\":\"upsert\",\"data\":" + expected_entry(record.entry) + "}\n"
             : "{\"op\":\"delete\",\"data\":{\"id\":" + expected_string(record.entry.id) + "}}\n";
  check(line == expected, "log line differs from the format", line + expected);
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
  check(same_entry(again.value().entry,
                   upsert ? record.entry : VectorEntry{record.entry.id, {}, {}, {}}),
        "record changed", line);
}

}  // namespace pvdb::fuzz
