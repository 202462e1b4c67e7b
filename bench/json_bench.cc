// Encode and decode throughput of the store's JSON forms on a snapshot-shaped
// document (20,000 records of 384 floats) and on one log line.
//
// Set PVDB_JSON_BENCH_DOC=path to also write the snapshot document there, for
// bench/json_anchor.py to load.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/snapshot.h"
#include "core/wal.h"

namespace {

using pvdb::core::VectorEntry;

constexpr int kRecords = 20'000;
constexpr int kDim = 384;

std::vector<VectorEntry> make_entries(int count) {
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  std::vector<VectorEntry> entries(count);
  for (int i = 0; i < count; ++i) {
    VectorEntry& entry = entries[i];
    entry.id = "doc-" + std::to_string(i);
    entry.embedding.resize(kDim);
    for (float& value : entry.embedding) value = gauss(rng) * 0.1f;
    entry.metadata = R"({"source":"bench","chunk":)" + std::to_string(i % 97) + "}";
    entry.created_at = "2026-12-06T09:00:00Z";
  }
  return entries;
}

const std::vector<VectorEntry>& entries() {
  static const std::vector<VectorEntry> all = make_entries(kRecords);
  return all;
}

std::vector<const VectorEntry*> pointers() {
  std::vector<const VectorEntry*> out;
  for (const auto& entry : entries()) out.push_back(&entry);
  return out;
}

const std::string& snapshot_text() {
  static const std::string text = [] {
    std::string out;
    pvdb::core::encode_snapshot(out, kDim, pointers());
    if (const char* path = std::getenv("PVDB_JSON_BENCH_DOC")) {
      if (FILE* file = std::fopen(path, "wb")) {
        std::fwrite(out.data(), 1, out.size(), file);
        std::fclose(file);
      }
    }
    return out;
  }();
  return text;
}

// Split into parts on the worker pool, as the store does; or, with kOnePiece, on
// the calling thread alone: the speed of one part of a split run.
template <bool kOnePiece>
void BM_EncodeSnapshot(benchmark::State& state) {
  const auto all = pointers();
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (kOnePiece) {
      pvdb::core::encode_snapshot(out, kDim, all, 1);
    } else {
      pvdb::core::encode_snapshot(out, kDim, all);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(snapshot_text().size()));
}
BENCHMARK_TEMPLATE(BM_EncodeSnapshot, false)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_EncodeSnapshot, true)->Unit(benchmark::kMillisecond);

template <bool kOnePiece>
void BM_DecodeSnapshot(benchmark::State& state) {
  const std::string& text = snapshot_text();
  for (auto _ : state) {
    auto snapshot =
        kOnePiece ? pvdb::core::decode_snapshot(text, 1) : pvdb::core::decode_snapshot(text);
    if (!snapshot.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(snapshot);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}
BENCHMARK_TEMPLATE(BM_DecodeSnapshot, false)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_DecodeSnapshot, true)->Unit(benchmark::kMillisecond);

void BM_EncodeWalLine(benchmark::State& state) {
  const VectorEntry& entry = entries()[0];
  std::string line;
  for (auto _ : state) {
    line.clear();
    pvdb::core::encode_wal_upsert(line, entry);
    benchmark::DoNotOptimize(line.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_EncodeWalLine);

void BM_DecodeWalLine(benchmark::State& state) {
  std::string line;
  pvdb::core::encode_wal_upsert(line, entries()[0]);
  line.pop_back();
  for (auto _ : state) {
    auto record = pvdb::core::decode_wal_line(line);
    if (!record.ok()) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(record);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(line.size()));
}
BENCHMARK(BM_DecodeWalLine);

}  // namespace

BENCHMARK_MAIN();
