#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <thread>

#include "../../fuzz/fuzz_checks.h"
#include "core/json_entry.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/snapshot.h"
#include "core/wal.h"

namespace pvdb::core {
namespace {

// Both writers give the format's text of `value` (the shortest digits, in our
// layout), and it reads back every way: the plain-decimal fast path, as the element
// of a list, and the general path.
void expect_reads_back(float value) {
  std::string text;
  write_json_f32(text, value);
  std::string general_text;
  write_json_f32_general(general_text, value);
  ASSERT_EQ(text, fuzz::expected_float(value));
  ASSERT_EQ(general_text, text);
  float fast = 0;
  JsonReader reader(text);
  ASSERT_TRUE(reader.read_f32(fast)) << text;
  ASSERT_TRUE(reader.at_end()) << text;
  JsonReader general(text);
  const bool positive = text[0] != '-';
  if (!positive) general.bump();
  JsonNumber number;
  ASSERT_TRUE(general.parse_number(positive, number)) << text;
  Embedding listed;
  const std::string bracketed = "[" + text + "]";
  JsonReader list(bracketed);
  ASSERT_TRUE(read_f32_list(list, listed)) << text;
  ASSERT_EQ(listed.size(), 1u) << text;
  const auto bits = std::bit_cast<std::uint32_t>(value);
  ASSERT_EQ(std::bit_cast<std::uint32_t>(fast), bits) << text;
  ASSERT_EQ(std::bit_cast<std::uint32_t>(listed[0]), bits) << text;
  ASSERT_EQ(std::bit_cast<std::uint32_t>(number.to_f32()), bits) << text;
}

void sweep_range(std::uint64_t first, std::uint64_t last, std::uint64_t stride) {
  for (std::uint64_t bits = first; bits <= last; bits += stride) {
    const auto value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    expect_reads_back(value);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// PVDB_FULL_FLOAT_SWEEP=1 checks all 2^32 patterns instead of a strided sample;
// positive and negative patterns run on two threads, as the full sweep takes half
// an hour on one.
TEST(JsonRoundTrip, FloatsReadBackBitExact) {
  const char* full = std::getenv("PVDB_FULL_FLOAT_SWEEP");
  const std::uint64_t stride = full != nullptr && std::string(full) == "1" ? 1 : 1021;
  std::thread negative(sweep_range, 0x80000000ull, 0xFFFFFFFFull, stride);
  sweep_range(0, 0x7FFFFFFFull, stride);
  negative.join();
  // Both ends of every binade's range and the subnormals are where layouts switch.
  for (std::uint32_t bits = 0; bits < 70'000 && !HasFatalFailure(); ++bits) {
    expect_reads_back(std::bit_cast<float>(bits));
    expect_reads_back(std::bit_cast<float>(0x7F7FFFFFu - bits));
    expect_reads_back(-std::bit_cast<float>(bits));
  }
}

// Records whose texts mix plain ASCII, every escaped byte class and multi-byte
// characters, and whose elements are any finite bits, tiny ones and extremes.
struct RandomRecords {
  std::mt19937 rng;

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); }

  std::string text() {
    static const std::string ascii = "aZ0 /\"\\\x7F\b\f\n\r\t";
    static const char* const multi_byte[] = {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                             "\xE2\x80\xA8", "\xC2\x85"};
    std::string out;
    for (int i = pick(0, 12); i > 0; --i) {
      const int kind = pick(0, 5);
      if (kind == 0) {
        out += static_cast<char>(pick(0, 0x1F));
      } else if (kind < 4) {
        out += ascii[pick(0, static_cast<int>(ascii.size()) - 1)];
      } else {
        out += multi_byte[pick(0, 4)];
      }
    }
    return out;
  }

  float element() {
    using limits = std::numeric_limits<float>;
    static const float extremes[] = {0.0f,           -0.0f,         limits::max(),
                                     -limits::max(), limits::min(), limits::denorm_min(),
                                     1e13f,          1e-7f,         16777217.0f};
    if (pick(0, 7) == 0) return extremes[pick(0, 8)];
    for (;;) {
      const auto value = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
      if (std::isfinite(value)) return pick(0, 1) ? value : value * 1e-30f;
    }
  }

  VectorEntry entry(int dim) {
    VectorEntry entry{text(), {}, text(), text()};
    for (int i = 0; i < dim; ++i) entry.embedding.push_back(element());
    return entry;
  }
};

// Each snapshot and each record's log lines must be exactly the format's bytes and
// read back bit for bit; the checks are the fuzz targets' own, which abort on failure.
TEST(JsonRoundTrip, RandomSnapshotsAndLogLinesDecodeToEqualRecords) {
  RandomRecords random{std::mt19937(7)};
  for (int round = 0; round < 1000; ++round) {
    const int dim = random.pick(0, 6);
    Snapshot snapshot{static_cast<std::uint64_t>(dim), {}};
    for (int i = random.pick(0, 5); i > 0; --i) snapshot.entries.push_back(random.entry(dim));
    fuzz::check_snapshot_round_trip(snapshot);
    for (const VectorEntry& entry : snapshot.entries) {
      fuzz::check_record_round_trip({WalRecord::Op::Upsert, entry});
      fuzz::check_record_round_trip({WalRecord::Op::Delete, VectorEntry{entry.id, {}, "", ""}});
    }
  }
}

}  // namespace
}  // namespace pvdb::core
