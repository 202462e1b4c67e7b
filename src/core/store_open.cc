#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/huge_pages.h"
#include "base/posix_file.h"
#include "core/parts.h"
#include "core/snapshot.h"
#include "core/vector_store.h"

namespace pvdb::core {
namespace {

// Fills `out` with the file's `size` bytes at `offset` by reads of its parts at once.
// False when any part failed or came short.
bool read_parts(const base::File& file, char* out, std::size_t size, std::size_t offset) {
  const std::size_t parts = part_count(size);
  std::vector<char> complete(parts, 0);
  run_parts(parts, [&](std::size_t k) {
    const std::size_t begin = size / parts * k;
    const std::size_t end = k + 1 == parts ? size : size / parts * (k + 1);
    auto got = file.read_at(out + begin, end - begin, offset + begin);
    complete[k] = got.ok() && got.value() == end - begin;
  });
  return std::find(complete.begin(), complete.end(), 0) == complete.end();
}

// A large file goes into huge pages where the kernel gives them: filling the
// buffer then takes one page fault per 2 MiB instead of one per 4 KiB.
struct FreeBytes {
  std::size_t size = 0;
  void operator()(char* p) const { base::HugePageAllocator<char>().deallocate(p, size); }
};
using Bytes = std::unique_ptr<char[], FreeBytes>;

// A regular file is read into one buffer of its size, window by window, and decoded
// as the windows come in; the text of records already decoded goes back to the
// system, so the whole text and all its records are never in memory together.
// Anything unexpected (a file not regular, a read that failed or came short, a file
// that grew) reads the file to its end in one go instead and decodes it from there.
Result<Snapshot> read_snapshot(base::File& file) {
  const auto stamp = file.stamp();
  if (stamp.ok() && stamp.value().regular && stamp.value().size > 0) {
    const auto size = static_cast<std::size_t>(stamp.value().size);
    const Bytes bytes(base::HugePageAllocator<char>().allocate(size + 1), FreeBytes{size + 1});
    char* data = bytes.get();
    SnapshotWindows windows;
    windows.window = std::max<std::size_t>(4, worker_count()) * (std::size_t{8} << 20);
    windows.fill = [&](std::size_t from, std::size_t to) {
      return read_parts(file, data + from, to - from, from);
    };
    windows.release = [&](std::size_t from, std::size_t to) {
      base::release_pages(data + from, to - from);
    };
    auto snapshot = decode_snapshot(std::string_view(data, size), windows);
    // One byte past the size tells a file that grew.
    const auto extra = file.read_at(data + size, 1, size);
    if (snapshot && extra.ok() && extra.value() == 0) return std::move(*snapshot);
  }
  auto text = from_os(file.read_all());
  if (!text.ok()) return std::move(text).error();
  SnapshotWindows whole;
  whole.window = text.value().size();
  return std::move(*decode_snapshot(text.value(), whole));
}

}  // namespace

VectorStore VectorStore::create(StoreConfig config) { return VectorStore(std::move(config)); }

Result<VectorStore> VectorStore::open(StoreConfig config) {
  VectorStore store(std::move(config));
  if (auto loaded = store.load_snapshot(); !loaded.ok()) return std::move(loaded).error();
  if (auto replayed = store.replay_wal(); !replayed.ok()) return std::move(replayed).error();
  store.dirty_ = !store.entries_.empty();
  return store;
}

Result<void> VectorStore::load_snapshot() {
  snapshot_seen_ = base::FileStamp{};
  if (!base::path_exists(config_.snapshot_path)) return {};
  auto file = from_os(base::File::open(config_.snapshot_path, base::OpenMode::Read));
  if (!file.ok()) return std::move(file).error();
  auto stamp = from_os(file.value().stamp());
  if (!stamp.ok()) return std::move(stamp).error();
  snapshot_seen_ = stamp.value();
  auto snapshot = read_snapshot(file.value());
  if (!snapshot.ok()) return std::move(snapshot).error();
  if (snapshot.value().dim != 0) dim_ = snapshot.value().dim;
  // Snapshot records are taken as they are; a later duplicate id replaces an earlier one.
  records_changed();
  entries_.reserve(snapshot.value().entries.size());
  for (VectorEntry& entry : snapshot.value().entries) {
    std::string id = entry.id;
    entries_.insert_or_assign(std::move(id), std::move(entry));
  }
  return {};
}

Result<void> VectorStore::replay_wal() {
  // The dimension, once known, sizes each embedding up front; a wrong guess only costs
  // a reallocation.
  const auto capacity = [this]() -> std::size_t {
    return dim_ && *dim_ <= (1u << 16) ? static_cast<std::size_t>(*dim_) : 0;
  };
  return log_.replay(capacity, [this](WalRecord record) {
    auto applied = apply(std::move(record));
    if (applied.ok()) ++wal_pending_;
    return applied;
  });
}

Result<void> VectorStore::apply(WalRecord record) {
  if (record.op == WalRecord::Op::Delete) {
    records_changed();
    entries_.erase(record.entry.id);
    return {};
  }
  const std::uint64_t n = record.entry.embedding.size();
  if (n == 0) return VectorDbError::empty_embedding();
  if (dim_ && *dim_ != n) return VectorDbError::dimension_mismatch(*dim_, n);
  if (!dim_) dim_ = n;
  records_changed();
  std::string id = record.entry.id;
  entries_.insert_or_assign(std::move(id), std::move(record.entry));
  return {};
}

}  // namespace pvdb::core
