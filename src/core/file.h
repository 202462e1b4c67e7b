#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/result.h"

namespace pvdb::core {

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
  // Whether the descriptor names a regular file, whose size bounds what reading yields.
  bool is_regular() const;

  static constexpr std::uint64_t kStreamLimit = std::uint64_t{256} << 20;
  // Writes every byte, retrying short writes; a write that accepts nothing is an error.
  Result<void> write_all(std::string_view bytes);
  Result<off_t> size() const;
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
