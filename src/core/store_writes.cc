#include <cmath>
#include <cstdint>
#include <span>
#include <utility>

#include "base/posix_file.h"
#include "core/vector_store.h"
#include "core/wal_reader.h"

namespace pvdb::core {
namespace {

// Lines are handed to the file in pieces of about this size, so that a large batch
// never needs its whole text in memory.
constexpr std::size_t kWriteChunk = 1 << 20;

bool all_finite(std::span<const float> embedding) {
  for (float x : embedding) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

// Offset at which the log's last line starts; `end` is the file's length.
Result<std::uint64_t> last_line_start(const base::File& file, std::uint64_t end) {
  char buf[8192];
  std::uint64_t pos = end;
  while (pos > 0) {
    const std::uint64_t from = pos > sizeof buf ? pos - sizeof buf : 0;
    const auto want = static_cast<std::size_t>(pos - from);
    auto got = from_os(file.read_at(buf, want, from));
    if (!got.ok()) return std::move(got).error();
    for (std::size_t i = got.value(); i > 0; --i) {
      if (buf[i - 1] == '\n') return from + i;
    }
    pos = from;
  }
  return std::uint64_t{0};
}

// Whether the bytes after the last line feed are the cut-off start of a record.
bool is_fragment(std::string_view tail) {
  WalRecord unused;
  const auto kind = read_log_line(tail, false, unused);
  return kind.ok() && kind.value() == LogLineKind::Fragment;
}

// One append to the log. Every append starts on a line boundary, and a failed one
// cuts the file back to where it started, so that the log never holds a torn line
// nor the first lines of a write that reported failure.
class WalAppender {
 public:
  static Result<WalAppender> begin(const std::string& path) {
    // Readable too: the log's last byte is inspected before anything is appended.
    auto file = from_os(base::File::open(path, base::OpenMode::ReadAppend));
    if (!file.ok()) return std::move(file).error();
    WalAppender appender(std::move(file).value());
    auto stamp = from_os(appender.file_.stamp());
    if (!stamp.ok()) return std::move(stamp).error();
    appender.before_ = stamp.value();
    appender.start_ = appender.before_.size;
    appender.end_ = appender.start_;
    if (appender.start_ > 0) {
      char last = '\n';
      auto got = from_os(appender.file_.read_at(&last, 1, appender.start_ - 1));
      if (!got.ok()) return std::move(got).error();
      if (last != '\n') {
        if (auto mended = appender.mend_tail(); !mended.ok()) return std::move(mended).error();
      }
    }
    return appender;
  }

  Result<void> write(std::string_view bytes) {
    auto written = from_os(file_.write_all(bytes));
    if (!written.ok()) {
      rollback();
      return written;
    }
    end_ += bytes.size();
    return written;
  }

  // The log as this append found it, and its length now.
  const base::FileStamp& before() const { return before_; }
  std::uint64_t end() const { return end_; }

 private:
  explicit WalAppender(base::File file) : file_(std::move(file)) {}

  // The log ends without a line feed: a crashed writer's fragment is cut away, and any
  // other last line is ended, so that the next record stands on its own line.
  Result<void> mend_tail() {
    auto from = last_line_start(file_, start_);
    if (!from.ok()) return std::move(from).error();
    std::string tail(static_cast<std::size_t>(start_ - from.value()), '\0');
    auto got = from_os(file_.read_at(tail.data(), tail.size(), from.value()));
    if (!got.ok()) return std::move(got).error();
    tail.resize(got.value());
    if (is_fragment(tail)) {
      if (auto cut = from_os(file_.truncate(from.value())); !cut.ok()) return cut;
      start_ = end_ = from.value();
      return {};
    }
    // The line feed belongs to this append: if the append fails, it goes too, and the
    // log is left byte for byte as the call found it.
    if (auto ended = write("\n"); !ended.ok()) return ended;
    return {};
  }

  // If this fails too, the original error is still the one reported; a torn last line
  // left behind is recognised as such when the log is next read.
  void rollback() {
    (void)file_.truncate(start_);
    end_ = start_;
  }

  base::File file_;
  base::FileStamp before_;
  std::uint64_t start_ = 0;
  std::uint64_t end_ = 0;
};

// The batch's lines, handed to the file in pieces of about kWriteChunk.
Result<void> write_batch(WalAppender& appender, const std::vector<VectorEntry>& batch) {
  std::string text;
  for (const VectorEntry& entry : batch) {
    encode_wal_upsert(text, entry);
    if (text.size() >= kWriteChunk) {
      if (auto written = appender.write(text); !written.ok()) return written;
      text.clear();
    }
  }
  return appender.write(text);
}

}  // namespace

Result<void> VectorStore::check_embedding(std::span<const float> embedding, bool fix_dim) {
  const std::uint64_t n = embedding.size();
  if (n == 0) return VectorDbError::empty_embedding();
  if (dim_ && *dim_ != n) return VectorDbError::dimension_mismatch(*dim_, n);
  if (!all_finite(embedding)) return VectorDbError::non_finite_embedding();
  if (!dim_ && fix_dim) dim_ = n;
  return {};
}

void VectorStore::log_appended(const base::FileStamp& before, std::uint64_t end) {
  if (log_seen_) {
    // An absent log may since have been created, by this append or empty by another.
    const bool as_seen = log_seen_->present
                             ? before.same_file(*log_seen_) && before.size == log_seen_->size
                             : before.size == 0;
    if (!as_seen) log_foreign_ = true;
  }
  log_seen_ = before;
  log_seen_->size = end;
}

Result<void> VectorStore::wal_append(std::string_view lines) {
  auto appender = WalAppender::begin(config_.wal_path);
  if (!appender.ok()) return std::move(appender).error();
  auto written = appender.value().write(lines);
  log_appended(appender.value().before(), appender.value().end());
  return written;
}

Result<void> VectorStore::upsert(VectorEntry entry) {
  if (auto valid = check_embedding(entry.embedding, true); !valid.ok()) return valid;
  std::string line;
  encode_wal_upsert(line, entry);
  if (auto appended = wal_append(line); !appended.ok()) return appended;
  records_changed();
  std::string id = entry.id;
  entries_.insert_or_assign(std::move(id), std::move(entry));
  ++wal_pending_;
  return {};
}

Result<void> VectorStore::upsert_batch(std::vector<VectorEntry> batch) {
  // The first entry fixes the dimension at once, and keeps it even when a later entry
  // of the same batch is refused.
  for (const VectorEntry& entry : batch) {
    if (auto valid = check_embedding(entry.embedding, true); !valid.ok()) return valid;
  }
  if (batch.empty()) {
    // Nothing is appended, so the log's tail is left as it is: only a missing log is
    // created, as by any write.
    auto file = from_os(base::File::open(config_.wal_path, base::OpenMode::Append));
    if (!file.ok()) return std::move(file).error();
    records_changed();
    return {};
  }
  auto appender = WalAppender::begin(config_.wal_path);
  if (!appender.ok()) return std::move(appender).error();
  auto written = write_batch(appender.value(), batch);
  log_appended(appender.value().before(), appender.value().end());
  if (!written.ok()) return written;
  records_changed();
  for (VectorEntry& entry : batch) {
    std::string id = entry.id;
    entries_.insert_or_assign(std::move(id), std::move(entry));
  }
  wal_pending_ += batch.size();
  return {};
}

Result<void> VectorStore::delete_entry(std::string_view id) {
  const auto it = entries_.find(id);
  if (it == entries_.end()) return {};
  // Log first: a failed append must leave the record in place, so memory and disk agree
  // and a retry works.
  std::string line;
  encode_wal_delete(line, id);
  if (auto appended = wal_append(line); !appended.ok()) return appended;
  records_changed();
  entries_.erase(it);
  ++wal_pending_;
  return {};
}

const VectorEntry* VectorStore::get(std::string_view id) const {
  const auto it = entries_.find(id);
  return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace pvdb::core
