#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/io_result.h"

namespace pvdb::base {

// What one stat saw of a file: enough to tell later whether anyone replaced, shortened
// or rewrote it. An absent file is a stamp too, with `present` false.
struct FileStamp {
  bool present = false;
  bool regular = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;

  // The same file, as far as its identity goes.
  bool same_file(const FileStamp& other) const {
    return present == other.present && device == other.device && inode == other.inode;
  }
  bool operator==(const FileStamp&) const = default;
};

// The stamp of the file the path names, following symbolic links; a path that names no
// file gives an absent stamp, any other failure an error.
IoResult<FileStamp> stamp_path(const std::string& path);

// Whether the path's status can be obtained, following symbolic links. Any failure
// (absent, dangling link, no search permission, a zero byte) counts as "no file".
bool path_exists(const std::string& path);

// How File::open opens a path. Every mode opens without blocking, so that a FIFO at
// the path can neither hang the open nor, for writing, a write it cannot take at once;
// regular files ignore this.
enum class OpenMode {
  Read,        // reading
  Write,       // writing a file that exists; an absent one is an error
  Append,      // appending, creating the file (0666 less the umask) when absent
  ReadAppend,  // the same, and reading too
};

// Owns one open file descriptor and closes it on destruction. Move-only.
class File {
 public:
  File() = default;
  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // The descriptor, or -1 when this owns none.
  int fd() const { return fd_; }
  int release();

  // A path holding a zero byte is refused before the system sees it. The descriptor
  // is closed in any program this process executes.
  static IoResult<File> open(const std::string& path, OpenMode mode);

  // Reads the rest of the file into memory. A file that is not a regular file (a
  // device, a pipe) may produce bytes without end, so past `kStreamLimit` bytes it is
  // refused as too large instead of exhausting memory.
  IoResult<std::string> read_all();

  static constexpr std::uint64_t kStreamLimit = std::uint64_t{256} << 20;
  // Writes every byte, retrying short writes; a write that accepts nothing is an error.
  IoResult<void> write_all(std::string_view bytes);
  IoResult<FileStamp> stamp() const;
  // Up to `count` bytes at `offset`, fewer only at the end of the file.
  IoResult<std::size_t> read_at(char* out, std::size_t count, std::uint64_t offset) const;
  IoResult<void> truncate(std::uint64_t length);
  // Waits until the file's bytes are on the medium.
  IoResult<void> sync();
  // Starts the writeback of the `size` bytes just written at `offset`, so that the
  // sync that ends the file waits for the last pieces only. Only a request: a failure
  // changes nothing, and where the system has no such request the final sync does
  // all the work.
  void start_writeback(std::uint64_t offset, std::size_t size);

 private:
  friend class Replacement;
  friend IoResult<void> sync_parent_dir(const std::string& path);
  static IoResult<File> open_flags(const std::string& path, int flags, unsigned mode);

  int fd_ = -1;
};

// Up to `count` bytes from the descriptor's position into `out`; 0 at the end of the
// file. Does not own the descriptor.
IoResult<std::size_t> read_some(int fd, char* out, std::size_t count);

// The file that the path names after following symbolic links, so that replacing it
// keeps a link pointing where it pointed. A dangling link resolves to its target.
IoResult<std::string> resolve_links(const std::string& path);

// Syncs the folder that holds `path`, so that a rename in it survives a crash.
IoResult<void> sync_parent_dir(const std::string& path);

// A new file that is to take the place of the file at `target`, in its folder, with
// its permission bits (0666 less the umask when there is no file there): written
// through file(), given a name, then renamed over the target. A process killed
// between naming and renaming leaves the temporary name behind; the next
// remove_stale_temps of the same target clears it. Move-only; the destructor removes
// the temporary name unless the file took the target's place.
class Replacement {
 public:
  Replacement(Replacement&& other) noexcept;
  Replacement& operator=(Replacement&&) = delete;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // One without a name until `name` gives it one once it is complete, so that a
  // process killed before that leaves nothing behind. Nothing where this system or
  // file system cannot make such files; the caller then makes a named one.
  static IoResult<std::optional<Replacement>> unnamed(const std::string& target);
  // One under a fresh temporary name from the start.
  static IoResult<Replacement> named(const std::string& target);

  File& file() { return file_; }
  // Gives an unnamed file its temporary name; a named one has it already. False when
  // this system offers no way to name it: the caller writes a named one instead.
  IoResult<bool> name();
  // Closes the complete, named file and renames it over the target.
  IoResult<void> replace();

 private:
  Replacement(File file, std::string target, std::string temp_path);

  File file_;
  std::string target_;
  std::string temp_path_;  // empty while unnamed, and once it took the target's place
};

// Removes the temporary files that replacements of `target` left behind when their
// process was killed before renaming them.
void remove_stale_temps(const std::string& target);

}  // namespace pvdb::base
