// Records built from the fuzz bytes (any text, control characters included, and any
// float bit pattern) are written as a snapshot and as log lines and read back: the
// bytes written must be exactly the format's, and reading must give back every bit.

#include <fuzzer/FuzzedDataProvider.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>

#include "base/utf8.h"
#include "core/wal.h"
#include "fuzz_checks.h"

namespace {

using pvdb::base::append_utf8;
using pvdb::core::VectorEntry;
using pvdb::core::WalRecord;
using pvdb::fuzz::check;

// Valid UTF-8, mostly ASCII (control characters, quotes and backslashes included).
std::string make_text(FuzzedDataProvider& in) {
  std::string text;
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 24);
  for (std::size_t i = 0; i < n && in.remaining_bytes() > 0; ++i) {
    const auto b = in.ConsumeIntegral<std::uint8_t>();
    if (b < 0x80) {
      append_utf8(text, b);
      continue;
    }
    std::uint32_t cp = in.ConsumeIntegral<std::uint32_t>() % 0x110000;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;  // no surrogates in UTF-8
    append_utf8(text, cp);
  }
  return text;
}

VectorEntry make_entry(FuzzedDataProvider& in, bool finite_only) {
  VectorEntry entry;
  entry.id = make_text(in);
  const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 16);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t bits = in.ConsumeIntegral<std::uint32_t>();
    if (finite_only && (bits & 0x7F800000u) == 0x7F800000u) bits &= ~0x40000000u;
    float x;
    std::memcpy(&x, &bits, sizeof x);
    entry.embedding.push_back(x);
  }
  entry.metadata = make_text(in);
  entry.created_at = make_text(in);
  return entry;
}

// Quote, backslash and the control characters with a short escape get it; other
// control characters are written as \u00XX.
std::string expected_string(const std::string& text) {
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
std::string expected_float(float x) {
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

std::string expected_upsert(const VectorEntry& entry) {
  std::string out =
      "{\"op\":\"upsert\",\"data\":{\"id\":" + expected_string(entry.id) + ",\"embedding\":[";
  for (std::size_t i = 0; i < entry.embedding.size(); ++i) {
    if (i > 0) out += ',';
    out += expected_float(entry.embedding[i]);
  }
  return out + "],\"metadata\":" + expected_string(entry.metadata) +
         ",\"created_at\":" + expected_string(entry.created_at) + "}}\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const bool finite_only = in.ConsumeBool();
  pvdb::core::Snapshot snapshot;
  snapshot.dim = in.ConsumeIntegral<std::uint64_t>();
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 6);
  for (std::size_t i = 0; i < count; ++i) snapshot.entries.push_back(make_entry(in, finite_only));

  pvdb::fuzz::check_snapshot_round_trip(snapshot);
  for (const VectorEntry& entry : snapshot.entries) {
    const WalRecord upsert{WalRecord::Op::Upsert, entry};
    const WalRecord del{WalRecord::Op::Delete, VectorEntry{entry.id, {}, {}, {}}};
    const std::string upsert_line = pvdb::fuzz::encode_record(upsert);
    const std::string delete_line = pvdb::fuzz::encode_record(del);
    check(upsert_line == expected_upsert(entry), "upsert line differs from the format",
          upsert_line + expected_upsert(entry));
    check(
        delete_line == "{\"op\":\"delete\",\"data\":{\"id\":" + expected_string(entry.id) + "}}\n",
        "delete line differs from the format", delete_line);
    pvdb::fuzz::check_record_round_trip(upsert);
    pvdb::fuzz::check_record_round_trip(del);
  }
  return 0;
}
