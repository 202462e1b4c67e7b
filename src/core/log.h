#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/posix_file.h"
#include "core/result.h"
#include "core/vector_entry.h"
#include "core/wal.h"

namespace pvdb::core {

// Whether `tail`, the bytes after the log's last line feed, is the cut-off start of a
// record: what a writer killed during an append leaves, and the next append cuts away.
bool is_torn_tail(std::string_view tail);

// The write-ahead log of one store: its path and what this store knows of the file.
// It holds no descriptor between calls. Every append opens the file anew, so that lines
// another store appended in between land before this store's, and are noticed.
//
// The reader side replays the file at open; the appender side adds whole lines and
// leaves the file as it found it when an append fails; compaction opens it, checks it
// against what this store has seen, and empties it once the snapshot holds its records.
class Log {
 public:
  explicit Log(std::string path) : path_(std::move(path)) {}

  // Reads every record in order into `apply`, up to a cut-off last line. `capacity`
  // gives the expected embedding length for the next record (0 when unknown).
  Result<void> replay(const std::function<std::size_t()>& capacity,
                      const std::function<Result<void>(WalRecord)>& apply);

  // Appends whole lines, each ending in a line feed.
  Result<void> append(std::string_view lines);
  // Appends an upsert line per entry, encoded and written in pieces, so that a large
  // batch never needs its whole text in memory.
  Result<void> append_upserts(const std::vector<VectorEntry>& batch);
  // Creates the log when it is absent; an existing log is left as it is, tail included.
  Result<void> create_if_absent() const;

  // The log as compaction finds it, open for emptying it later; an absent log stays
  // absent and `wal` closed.
  Result<void> open_for_compaction(base::File& wal, base::FileStamp& found) const;
  // Whether the log, found as `found`, holds exactly the lines this store accounts for.
  bool unchanged(const base::FileStamp& found) const;
  // Empties the log, open as `wal` and found as `found` before the snapshot was written.
  // Refused when another writer appended since.
  Result<void> empty(base::File& wal, const base::FileStamp& found);

 private:
  // Records what an append found in the log before it wrote, and the length it left.
  void appended(const base::FileStamp& before, std::uint64_t end);

  std::string path_;
  // The log as this store last read or wrote it, its size being the length this store
  // accounts for. Unset for a store made by `create`, which read nothing. `foreign_` is
  // set for good once an append found lines this store never read: its own lines after
  // them hide them from a size check.
  std::optional<base::FileStamp> seen_;
  bool foreign_ = false;
};

}  // namespace pvdb::core
