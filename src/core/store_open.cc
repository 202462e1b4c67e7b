#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/huge_pages.h"
#include "base/posix_file.h"
#include "base/utf8.h"
#include "core/parts.h"
#include "core/snapshot.h"
#include "core/vector_store.h"

namespace pvdb::core {
namespace {

// Fills `out` with the file's first `size` bytes by reads of its parts at once.
// False when any part failed or came short: the caller then reads it all again.
bool read_parts(const base::File& file, char* out, std::size_t size) {
  const std::size_t parts = part_count(size);
  std::vector<char> complete(parts, 0);
  run_parts(parts, [&](std::size_t k) {
    const std::size_t begin = size / parts * k;
    const std::size_t end = k + 1 == parts ? size : size / parts * (k + 1);
    auto got = file.read_at(out + begin, end - begin, begin);
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

// The whole file in one buffer of its size, read without first zeroing the buffer.
// A file that is not regular, or that grew since its size was taken, is read to
// its end in pieces instead.
struct WholeFile {
  Bytes bytes;
  std::string rest;
  std::string_view text;
};

Result<void> read_whole(base::File& file, WholeFile& out) {
  const auto stamp = file.stamp();
  if (stamp.ok() && stamp.value().regular && stamp.value().size > 0) {
    const auto size = static_cast<std::size_t>(stamp.value().size);
    out.bytes = Bytes(base::HugePageAllocator<char>().allocate(size + 1), FreeBytes{size + 1});
    // One byte past the size tells a file that grew.
    std::size_t got = 0;
    if (read_parts(file, out.bytes.get(), size)) {
      auto extra = from_os(file.read_at(out.bytes.get() + size, 1, size));
      if (!extra.ok()) return std::move(extra).error();
      got = size + extra.value();
    } else {
      auto all = from_os(file.read_at(out.bytes.get(), size + 1, 0));
      if (!all.ok()) return std::move(all).error();
      got = all.value();
    }
    if (got <= size) {
      out.text = std::string_view(out.bytes.get(), got);
      return {};
    }
    out.bytes.reset();
  }
  auto text = from_os(file.read_all());
  if (!text.ok()) return std::move(text).error();
  out.rest = std::move(text).value();
  out.text = out.rest;
  return {};
}

// Checks the text in parts that begin at ASCII bytes. Such a byte starts a
// character and ends any sequence before it, so a character is whole within its
// part exactly when it is whole within the text.
bool valid_utf8_in_parts(std::string_view text) {
  const std::size_t parts = part_count(text.size());
  std::vector<std::size_t> starts{0};
  for (std::size_t k = 1; k < parts; ++k) {
    std::size_t at = std::max(text.size() / parts * k, starts.back());
    while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80) ++at;
    starts.push_back(at);
  }
  starts.push_back(text.size());
  std::vector<char> valid(parts, 0);
  run_parts(parts, [&](std::size_t k) {
    valid[k] = base::is_valid_utf8(text.substr(starts[k], starts[k + 1] - starts[k]));
  });
  return std::find(valid.begin(), valid.end(), 0) == valid.end();
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
  WholeFile whole;
  if (auto read = read_whole(file.value(), whole); !read.ok()) return read;
  if (!valid_utf8_in_parts(whole.text)) return VectorDbError::invalid_utf8();
  auto snapshot = decode_snapshot(whole.text);
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
