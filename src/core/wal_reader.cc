#include "core/wal_reader.h"

#include <cstring>
#include <utility>

#include "base/posix_file.h"
#include "base/utf8.h"

namespace pvdb::core {

Result<bool> WalLineReader::refill() {
  auto got = base::read_some(fd_, buf_, sizeof buf_);
  if (!got.ok()) return VectorDbError::from_os(got.error());
  total_ += got.value();
  if (total_ > max_bytes_) return VectorDbError::from_os(base::IoError::too_large());
  pos_ = 0;
  len_ = got.value();
  if (len_ == 0) eof_ = true;
  return len_ > 0;
}

Result<bool> WalLineReader::next(Line& line) {
  carry_.clear();
  bool carrying = false;
  while (true) {
    if (pos_ == len_) {
      if (eof_) break;
      auto more = refill();
      if (!more.ok()) return std::move(more).error();
      if (!more.value()) break;
    }
    const char* start = buf_ + pos_;
    const auto* lf = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
    if (lf == nullptr) {
      carry_.append(start, len_ - pos_);
      carrying = true;
      pos_ = len_;
      continue;
    }
    const std::size_t n = static_cast<std::size_t>(lf - start);
    pos_ += n + 1;
    std::string_view text;
    if (carrying) {
      carry_.append(start, n);
      text = carry_;
    } else {
      text = std::string_view(start, n);
    }
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    line = Line{text, true};
    return true;
  }
  if (!carrying) return false;
  line = Line{carry_, false};
  return true;
}

Result<LogLineKind> read_log_line(std::string_view raw, bool terminated, WalRecord& out,
                                  std::size_t capacity) {
  // A crash during an append can cut the last line anywhere, even inside a character.
  const bool cut_in_char = !terminated && base::is_utf8_cut_short(raw);
  std::string_view text = raw;
  if (cut_in_char) {
    text = base::drop_incomplete_tail(text);
  } else if (!base::is_valid_utf8(text)) {
    return VectorDbError::invalid_utf8();
  }
  text = base::trim_unicode_whitespace(text);
  if (text.empty()) return cut_in_char ? LogLineKind::Fragment : LogLineKind::Blank;
  bool ended_early = false;
  auto record = decode_wal_line(text, &ended_early, capacity);
  if (cut_in_char) {
    // Only a proper prefix of a record is a cut-off append: nothing the writer puts
    // after a whole record starts a character, so such a line is damage, and treating
    // it as the end of the log would drop a committed record.
    if (ended_early) return LogLineKind::Fragment;
    return VectorDbError::invalid_utf8();
  }
  if (!record.ok()) {
    // The unfinished last append of a crashed writer: no write was acknowledged by it.
    if (!terminated && ended_early) return LogLineKind::Fragment;
    return std::move(record).error();
  }
  out = std::move(record).value();
  return LogLineKind::Record;
}

}  // namespace pvdb::core
