// Arbitrary bytes as a snapshot file and as a log file, read the way opening a store
// reads them. Decoding never crashes, a snapshot's errors are Json errors placed in the
// text, and whatever decodes survives a write and a read bit for bit. The log reader
// splits exactly at line feeds through its buffer, the dimension given as a capacity
// hint never changes a line's outcome, a fragment can only be the cut-off last line,
// and every proper prefix of a record is a fragment when it ends the file.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "core/snapshot.h"
#include "core/wal_reader.h"
#include "fuzz_checks.h"

namespace {

using pvdb::core::LogLineKind;
using pvdb::core::WalLineReader;
using pvdb::fuzz::check;

struct RawLine {
  std::string text;
  bool terminated;
  bool operator==(const RawLine&) const = default;
};

// The lines as the format defines them: split at each line feed, one carriage return
// before it dropped; a last line without a line feed still counts, with any CR kept.
std::vector<RawLine> split_lines(std::string_view bytes) {
  std::vector<RawLine> lines;
  std::size_t start = 0;
  for (std::size_t lf; (lf = bytes.find('\n', start)) != std::string_view::npos; start = lf + 1) {
    std::string_view text = bytes.substr(start, lf - start);
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    lines.push_back({std::string(text), true});
  }
  if (start < bytes.size()) lines.push_back({std::string(bytes.substr(start)), false});
  return lines;
}

int file_of(std::string_view bytes) {
  const int fd = ::memfd_create("wal", MFD_CLOEXEC);
  if (fd < 0) pvdb::fuzz::fail("memfd_create failed");
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) pvdb::fuzz::fail("write to memfd failed");
    done += static_cast<std::size_t>(n);
  }
  ::lseek(fd, 0, SEEK_SET);
  return fd;
}

// Reads every raw line; returns false when the reader failed (only by the size limit).
bool read_all(int fd, std::uint64_t max_bytes, std::vector<RawLine>& lines) {
  WalLineReader reader(fd, max_bytes);
  WalLineReader::Line line;
  for (;;) {
    auto more = reader.next(line);
    if (!more.ok()) {
      check(more.error().message() == pvdb::core::VectorDbError::io_errno(EFBIG).message(),
            "unexpected read error", more.error().message());
      return false;
    }
    if (!more.value()) return true;
    lines.push_back({std::string(line.text), line.terminated});
  }
}

// A crash can cut the last append anywhere, even inside a character: every proper
// prefix of a record's text is a fragment when it ends the file, an error before that.
// Long texts are cut at up to 64 places, fewer for huge ones so that one input stays
// well under the time limit.
void check_cuts(std::string_view text) {
  const std::size_t cuts =
      std::clamp<std::size_t>((std::size_t{1} << 22) / (text.size() + 1), 4, 64);
  for (std::size_t cut = 1; cut < text.size();
       cut += std::max<std::size_t>(1, text.size() / cuts)) {
    const std::string_view prefix = text.substr(0, cut);
    pvdb::core::WalRecord out;
    auto last = pvdb::core::read_log_line(prefix, false, out);
    check(last.ok() && last.value() == LogLineKind::Fragment,
          "a cut-off last line is not a fragment", prefix);
    check(!pvdb::core::read_log_line(prefix, true, out).ok(), "a cut-off inner line was accepted",
          prefix);
  }
}

// Replays the lines as opening a store does: blanks skipped, a fragment ends the log,
// the first error ends it too.
void replay(const std::vector<RawLine>& lines) {
  int records_cut = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const RawLine& raw = lines[i];
    pvdb::core::WalRecord record;
    auto kind = pvdb::core::read_log_line(raw.text, raw.terminated, record);
    // The hint only sizes the embedding.
    pvdb::core::WalRecord hinted;
    auto with_hint = pvdb::core::read_log_line(raw.text, raw.terminated, hinted, 1 + i % 64);
    check(kind.ok() == with_hint.ok() &&
              (kind.ok() ? kind.value() == with_hint.value()
                         : kind.error().message() == with_hint.error().message()),
          "capacity hint changed the outcome", raw.text);
    if (!kind.ok()) {
      const auto error_kind = kind.error().kind();
      check(error_kind == pvdb::core::ErrorKind::Json || error_kind == pvdb::core::ErrorKind::Io,
            "unexpected error kind", kind.error().message());
      return;
    }
    const bool valid = pvdb::base::is_valid_utf8(raw.text);
    const bool blank = valid && pvdb::base::trim_unicode_whitespace(raw.text).empty();
    switch (kind.value()) {
      case LogLineKind::Blank:
        check(blank, "a blank line that is not blank", raw.text);
        break;
      case LogLineKind::Fragment:
        check(!raw.terminated && i + 1 == lines.size(), "a fragment before the last line",
              raw.text);
        check(!blank, "a blank last line taken for a fragment", raw.text);
        return;
      case LogLineKind::Record:
        check(valid && !blank, "a record from an invalid or blank line", raw.text);
        check(hinted.op == record.op && pvdb::fuzz::same_entry(hinted.entry, record.entry),
              "capacity hint changed the record", raw.text);
        pvdb::fuzz::check_record_round_trip(record);
        // Cutting costs some 128 decodes: a few records per input are enough.
        if (++records_cut <= 4) {
          check_cuts(pvdb::base::trim_unicode_whitespace(raw.text));
          if (pvdb::fuzz::all_finite(record.entry)) {
            const std::string line = pvdb::fuzz::encode_record(record);
            check_cuts(std::string_view(line).substr(0, line.size() - 1));
          }
        }
        break;
    }
  }
}

void check_snapshot(std::string_view text) {
  auto snapshot = pvdb::core::decode_snapshot(text);
  if (snapshot.ok()) return pvdb::fuzz::check_snapshot_round_trip(snapshot.value());
  const auto& error = snapshot.error();
  const auto lines = 1 + static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  check(error.kind() == pvdb::core::ErrorKind::Json && error.line() >= 1 && error.line() <= lines &&
            error.column() <= text.size() + 1,
        "decode error is not Json or has no position", error.message());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  check_snapshot(bytes);
  const std::vector<RawLine> expected = split_lines(bytes);
  const int fd = file_of(bytes);
  std::vector<RawLine> lines;
  check(read_all(fd, UINT64_MAX, lines), "unlimited read failed");
  check(lines == expected, "lines differ from the file's", bytes);
  replay(lines);

  // A size limit fails the read once more bytes than that have come in; the lines
  // before the failure are the file's first lines.
  const std::uint64_t limit = size == 0 ? 0 : (data[0] * std::uint64_t{131}) % (size + 1);
  ::lseek(fd, 0, SEEK_SET);
  std::vector<RawLine> limited;
  const bool ok = read_all(fd, limit, limited);
  check(ok == (size <= limit), "size limit misapplied", bytes);
  check(limited.size() <= expected.size() &&
            std::equal(limited.begin(), limited.end(), expected.begin()),
        "limited read changed or added a line", bytes);
  ::close(fd);
  return 0;
}
