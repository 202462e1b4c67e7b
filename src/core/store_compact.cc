#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/posix_file.h"
#include "core/snapshot.h"
#include "core/vector_store.h"

namespace pvdb::core {
namespace {

// Writes the whole content of a new file; may be called again for another file.
using Content = std::function<Result<void>(base::File&)>;

// Writes and syncs the new file. `stamp` is the complete file's, which a rename does
// not change.
Result<void> fill(base::File& file, const Content& content, base::FileStamp& stamp) {
  if (auto done = content(file); !done.ok()) return done;
  if (auto synced = from_os(file.sync()); !synced.ok()) return synced;
  auto complete = from_os(file.stamp());
  if (!complete.ok()) return std::move(complete).error();
  stamp = complete.value();
  return {};
}

// The new file written without a name and then named, so that a process killed before
// it is complete leaves nothing behind. Nothing where this system or file system cannot
// make such files or has no way to name them.
Result<std::optional<base::Replacement>> write_unnamed(const std::string& target,
                                                       const Content& content,
                                                       base::FileStamp& stamp) {
  auto opened = from_os(base::Replacement::unnamed(target));
  if (!opened.ok() || !opened.value()) return opened;
  base::Replacement& file = *opened.value();
  if (auto done = fill(file.file(), content, stamp); !done.ok()) return std::move(done).error();
  auto named = from_os(file.name());
  if (!named.ok()) return std::move(named).error();
  if (!named.value()) return std::optional<base::Replacement>();
  return opened;
}

// The same under a temporary name from the start, which a kill before the rename leaves
// behind until the next compaction removes it.
Result<base::Replacement> write_named(const std::string& target, const Content& content,
                                      base::FileStamp& stamp) {
  auto file = from_os(base::Replacement::named(target));
  if (!file.ok()) return file;
  if (auto done = fill(file.value().file(), content, stamp); !done.ok()) {
    return std::move(done).error();
  }
  return file;
}

// Replaces the file at `path` with `content` so that a crash or an I/O error at any point
// leaves either the old file or the complete new one, never a mixture. `renamed` is the
// new file's stamp once it has taken the old one's place, even if the call then fails.
Result<void> replace_file(const std::string& path, const Content& content,
                          std::optional<base::FileStamp>& renamed) {
  auto target = from_os(base::resolve_links(path));
  if (!target.ok()) return std::move(target).error();
  // A compaction killed before its rename leaves its temporary file behind; the next
  // compaction of the same snapshot removes such leftovers.
  base::remove_stale_temps(target.value());
  base::FileStamp stamp;
  auto unnamed = write_unnamed(target.value(), content, stamp);
  if (!unnamed.ok()) return std::move(unnamed).error();
  std::optional<base::Replacement> file = std::move(unnamed).value();
  if (!file) {
    auto named = write_named(target.value(), content, stamp);
    if (!named.ok()) return std::move(named).error();
    file.emplace(std::move(named).value());
  }
  if (auto replaced = from_os(file->replace()); !replaced.ok()) return replaced;
  renamed = stamp;
  return from_os(base::sync_parent_dir(target.value()));
}

}  // namespace

Result<bool> VectorStore::files_unchanged(const base::FileStamp& log) const {
  if (!log_.unchanged(log)) return false;
  if (!snapshot_seen_) return true;
  auto snapshot = from_os(base::stamp_path(config_.snapshot_path));
  if (!snapshot.ok()) return std::move(snapshot).error();
  // No store writes anything but a regular file there; whatever else stands in the
  // way makes the replacement fail with the system's own error.
  if (snapshot.value().present && !snapshot.value().regular) return true;
  return snapshot.value() == *snapshot_seen_;
}

Result<void> VectorStore::compact() {
  if (wal_pending_ == 0) return {};
  // A non-finite value would be written as null, which can never be read back: refuse
  // before anything is written, and name the record so that it can be mended.
  std::vector<const VectorEntry*> image;
  image.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) {
    for (float x : entry.embedding) {
      if (!std::isfinite(x)) return VectorDbError::non_finite_entry(id);
    }
    image.push_back(&entry);
  }
  // Written as it is encoded: the text of a large store never lies in memory whole.
  const auto content = [&](base::File& file) {
    std::uint64_t written = 0;
    return write_snapshot(dim_.value_or(0), image, [&](std::string_view bytes) {
      auto done = from_os(file.write_all(bytes));
      if (!done.ok()) return done;
      file.start_writeback(written, bytes.size());
      written += bytes.size();
      return done;
    });
  };
  base::File wal;
  base::FileStamp log;
  if (auto opened = log_.open_for_compaction(wal, log); !opened.ok()) return opened;
  auto unchanged = files_unchanged(log);
  if (!unchanged.ok()) return std::move(unchanged).error();
  if (!unchanged.value()) return VectorDbError::files_changed();
  std::optional<base::FileStamp> renamed;
  auto written = replace_file(config_.snapshot_path, content, renamed);
  if (renamed) snapshot_seen_ = renamed;
  if (!written.ok()) return written;
  if (auto emptied = log_.empty(wal, log); !emptied.ok()) return emptied;
  wal_pending_ = 0;
  rebuild_index();
  return {};
}

}  // namespace pvdb::core
