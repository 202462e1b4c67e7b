#include "core/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace pvdb::core {
namespace {

FileStamp stamp_of(const struct stat& st) {
  FileStamp stamp;
  stamp.present = true;
  stamp.regular = S_ISREG(st.st_mode);
  stamp.device = static_cast<std::uint64_t>(st.st_dev);
  stamp.inode = static_cast<std::uint64_t>(st.st_ino);
  stamp.size = static_cast<std::uint64_t>(st.st_size);
#if defined(__APPLE__)
  const struct timespec& mtime = st.st_mtimespec;
#else
  const struct timespec& mtime = st.st_mtim;
#endif
  stamp.mtime_ns = static_cast<std::int64_t>(mtime.tv_sec) * 1000000000 + mtime.tv_nsec;
  return stamp;
}

}  // namespace

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

int File::release() { return std::exchange(fd_, -1); }

Result<File> File::open(const std::string& path, int flags, mode_t mode) {
  if (path.find('\0') != std::string::npos) return VectorDbError::nul_in_path();
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return VectorDbError::io_errno(errno);
  return File(fd);
}

Result<std::string> File::read_all() {
  std::string text;
  struct stat st;
  const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  std::size_t used = 0;
  while (true) {
    if (!regular && used > kStreamLimit) return VectorDbError::io_errno(EFBIG);
    if (text.size() - used < 65536) text.resize(used + std::max<std::size_t>(65536, used / 2));
    const ssize_t got = ::read(fd_, text.data() + used, text.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return VectorDbError::io_errno(errno);
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return text;
}

Result<void> File::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return VectorDbError::io_errno(errno);
    }
    if (put == 0) return VectorDbError::write_zero();
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return {};
}

Result<FileStamp> File::stamp() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return VectorDbError::io_errno(errno);
  return stamp_of(st);
}

Result<FileStamp> stamp_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) return VectorDbError::nul_in_path();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return stamp_of(st);
  if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
  return VectorDbError::io_errno(errno);
}

Result<std::size_t> File::read_at(char* out, std::size_t count, off_t offset) const {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd_, out + done, count - done, offset + static_cast<off_t>(done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return VectorDbError::io_errno(errno);
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

Result<void> File::truncate(off_t length) {
  while (::ftruncate(fd_, length) != 0) {
    if (errno != EINTR) return VectorDbError::io_errno(errno);
  }
  return {};
}

Result<void> File::sync() {
#ifdef F_FULLFSYNC
  // Apple's fsync leaves the bytes in the drive's own cache; only this request
  // reaches the medium. File systems that refuse it get the plain fsync.
  if (::fcntl(fd_, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd_) != 0) return VectorDbError::io_errno(errno);
  return {};
}

bool path_exists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace pvdb::core
