#include "core/log.h"

#include <cstdint>
#include <utility>

#include "base/posix_file.h"
#include "core/error.h"
#include "core/wal_reader.h"

namespace pvdb::core {
namespace {

// Lines are handed to the file in pieces of about this size.
constexpr std::size_t kWriteChunk = 1 << 20;

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

// One append to the log. Every append starts on a line boundary, and a failed one
// cuts the file back to where it started, so that the log never holds a torn line
// nor the first lines of a write that reported failure.
class Appender {
 public:
  static Result<Appender> begin(const std::string& path) {
    // Readable too: the log's last byte is inspected before anything is appended.
    auto file = from_os(base::File::open(path, base::OpenMode::ReadAppend));
    if (!file.ok()) return std::move(file).error();
    Appender appender(std::move(file).value());
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
  explicit Appender(base::File file) : file_(std::move(file)) {}

  // The log ends without a line feed: a crashed writer's fragment is cut away, and any
  // other last line is ended, so that the next record stands on its own line.
  Result<void> mend_tail() {
    auto from = last_line_start(file_, start_);
    if (!from.ok()) return std::move(from).error();
    std::string tail(static_cast<std::size_t>(start_ - from.value()), '\0');
    auto got = from_os(file_.read_at(tail.data(), tail.size(), from.value()));
    if (!got.ok()) return std::move(got).error();
    tail.resize(got.value());
    if (is_torn_tail(tail)) {
      if (auto cut = from_os(file_.truncate(from.value())); !cut.ok()) return cut;
      start_ = end_ = from.value();
      return {};
    }
    // The line feed belongs to this append: if the append fails, it goes too, and the
    // log is left byte for byte as the call found it.
    return write("\n");
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

}  // namespace

bool is_torn_tail(std::string_view tail) {
  WalRecord unused;
  const auto kind = read_log_line(tail, false, unused);
  return kind.ok() && kind.value() == LogLineKind::Fragment;
}

Result<void> Log::replay(const std::function<std::size_t()>& capacity,
                         const std::function<Result<void>(WalRecord)>& apply) {
  seen_ = base::FileStamp{};
  if (!base::path_exists(path_)) return {};
  auto file = from_os(base::File::open(path_, base::OpenMode::Read));
  if (!file.ok()) return std::move(file).error();
  auto stamp = from_os(file.value().stamp());
  if (!stamp.ok()) return std::move(stamp).error();
  seen_ = stamp.value();
  WalLineReader reader(file.value().fd(),
                       stamp.value().regular ? UINT64_MAX : base::File::kStreamLimit);
  WalLineReader::Line line;
  while (true) {
    auto more = reader.next(line);
    // Where the log ends for this store: a fragment at the end included, lines
    // appended later by anyone else not.
    seen_->size = reader.bytes_read();
    if (!more.ok()) return std::move(more).error();
    if (!more.value()) return {};
    WalRecord record;
    auto kind = read_log_line(line.text, line.terminated, record, capacity());
    if (!kind.ok()) return std::move(kind).error();
    if (kind.value() == LogLineKind::Blank) continue;
    if (kind.value() == LogLineKind::Fragment) return {};
    if (auto applied = apply(std::move(record)); !applied.ok()) return applied;
  }
}

void Log::appended(const base::FileStamp& before, std::uint64_t end) {
  if (seen_) {
    // An absent log may since have been created, by this append or empty by another.
    const bool as_seen =
        seen_->present ? before.same_file(*seen_) && before.size == seen_->size : before.size == 0;
    if (!as_seen) foreign_ = true;
  }
  seen_ = before;
  seen_->size = end;
}

Result<void> Log::append(std::string_view lines) {
  auto appender = Appender::begin(path_);
  if (!appender.ok()) return std::move(appender).error();
  auto written = appender.value().write(lines);
  appended(appender.value().before(), appender.value().end());
  return written;
}

Result<void> Log::append_upserts(const std::vector<VectorEntry>& batch) {
  auto appender = Appender::begin(path_);
  if (!appender.ok()) return std::move(appender).error();
  std::string text;
  Result<void> written;
  for (const VectorEntry& entry : batch) {
    encode_wal_upsert(text, entry);
    if (text.size() >= kWriteChunk) {
      written = appender.value().write(text);
      if (!written.ok()) break;
      text.clear();
    }
  }
  if (written.ok()) written = appender.value().write(text);
  appended(appender.value().before(), appender.value().end());
  return written;
}

Result<void> Log::create_if_absent() const {
  auto file = from_os(base::File::open(path_, base::OpenMode::Append));
  if (!file.ok()) return std::move(file).error();
  return {};
}

Result<void> Log::open_for_compaction(base::File& wal, base::FileStamp& found) const {
  auto opened = base::File::open(path_, base::OpenMode::Write);
  if (!opened.ok()) {
    if (opened.error().absent()) return {};
    return VectorDbError::from_os(opened.error());
  }
  wal = std::move(opened).value();
  auto stamp = from_os(wal.stamp());
  if (!stamp.ok()) return std::move(stamp).error();
  found = stamp.value();
  return {};
}

bool Log::unchanged(const base::FileStamp& found) const {
  if (foreign_) return false;
  return !seen_ || (found.same_file(*seen_) && found.size == seen_->size);
}

Result<void> Log::empty(base::File& wal, const base::FileStamp& found) {
  // Checked first, the log is absent only when this store has nothing to fold.
  if (wal.fd() < 0) return VectorDbError::files_changed();
  // Another writer may have appended while the snapshot was written. Its lines are
  // then kept: the new snapshot with the whole log replayed over it still gives every
  // record, as after any failure to empty the log.
  auto now = from_os(wal.stamp());
  if (!now.ok()) return std::move(now).error();
  if (now.value().size != found.size) {
    foreign_ = true;
    return VectorDbError::files_changed();
  }
  if (auto cut = from_os(wal.truncate(0)); !cut.ok()) return cut;
  seen_ = found;
  seen_->size = 0;
  return {};
}

}  // namespace pvdb::core
