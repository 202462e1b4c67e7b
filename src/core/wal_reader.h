#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"
#include "core/wal.h"

namespace pvdb::core {

// Splits a log file into lines through an 8 KiB read buffer, so that the whole log is
// never held in memory: only the current line when it spans buffer refills.
// Does not own the descriptor.
class WalLineReader {
 public:
  // Past `max_bytes` read in all, reading fails as too large (for sources without end).
  explicit WalLineReader(int fd, std::uint64_t max_bytes = UINT64_MAX)
      : fd_(fd), max_bytes_(max_bytes) {}
  WalLineReader(const WalLineReader&) = delete;
  WalLineReader& operator=(const WalLineReader&) = delete;

  struct Line {
    std::string_view text;  // without its line feed, or a carriage return before it
    bool terminated;        // a line feed ended it; only the file's last line may lack one
  };

  // The next raw line, or false at the end of the file. The text stays valid until the
  // next call.
  Result<bool> next(Line& line);
  // Bytes read from the file so far; the file's length once next() gave false.
  std::uint64_t bytes_read() const { return total_; }

 private:
  Result<bool> refill();

  int fd_;
  std::uint64_t max_bytes_;
  std::uint64_t total_ = 0;
  char buf_[8192];
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool eof_ = false;
  std::string carry_;  // a line that spans refills
};

// What one raw log line holds: nothing (blank), one record, or the cut-off start of a
// record that a crash left as the unterminated last line, which ends the log.
enum class LogLineKind { Blank, Record, Fragment };

// Checks, trims and decodes one raw line as the reader returns it; `terminated` says
// whether a line feed followed it, since only the last line can be a fragment.
// `capacity` is the expected embedding length, 0 when unknown. The record is left in
// `out` for LogLineKind::Record; a line that is none of the three is an error.
Result<LogLineKind> read_log_line(std::string_view raw, bool terminated, WalRecord& out,
                                  std::size_t capacity = 0);

}  // namespace pvdb::core
