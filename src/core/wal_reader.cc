#include "core/wal_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pvdb::core {

Result<bool> WalLineReader::refill() {
  while (true) {
    const ssize_t got = ::read(fd_, buf_, sizeof buf_);
    if (got < 0) {
      if (errno == EINTR) continue;
      return VectorDbError::io_errno(errno);
    }
    total_ += static_cast<std::uint64_t>(got);
    if (total_ > max_bytes_) return VectorDbError::io_errno(EFBIG);
    pos_ = 0;
    len_ = static_cast<std::size_t>(got);
    if (got == 0) eof_ = true;
    return got > 0;
  }
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

}  // namespace pvdb::core
