#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"

namespace pvdb::core {

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
Result<FileStamp> stamp_path(const std::string& path);

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

  int fd() const { return fd_; }
  int release();

  // open(2) with O_CLOEXEC; a path holding a zero byte is refused before the system sees it.
  static Result<File> open(const std::string& path, int flags, mode_t mode = 0666);

  // Reads the rest of the file into memory. A file that is not a regular file (a
  // device, a pipe) may produce bytes without end, so past `kStreamLimit` bytes it is
  // refused as too large instead of exhausting memory.
  Result<std::string> read_all();

  static constexpr std::uint64_t kStreamLimit = std::uint64_t{256} << 20;
  // Writes every byte, retrying short writes; a write that accepts nothing is an error.
  Result<void> write_all(std::string_view bytes);
  Result<FileStamp> stamp() const;
  // Up to `count` bytes at `offset`, fewer only at the end of the file.
  Result<std::size_t> read_at(char* out, std::size_t count, off_t offset) const;
  Result<void> truncate(off_t length);
  Result<void> sync();

 private:
  int fd_ = -1;
};

// Whether the path's status can be obtained, following symbolic links. Any failure
// (absent, dangling link, no search permission, a zero byte) counts as "no file".
bool path_exists(const std::string& path);

}  // namespace pvdb::core
