#include "base/posix_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <utility>

#include "base/check.h"

// Linux can create a file without a name (O_TMPFILE) and name it through /proc once
// it is complete; elsewhere, and with PVDB_POSIX_FALLBACKS, every replacement is
// written under a temporary name from the start.
#if defined(__linux__) && defined(O_TMPFILE) && !defined(PVDB_POSIX_FALLBACKS)
#define PVDB_UNNAMED_FILES 1
#endif

namespace pvdb::base {
namespace {

IoError last_error() { return IoError{errno}; }

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

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

std::string parent_dir(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The name prefix of the temporary files that replace `path`, in its folder.
std::string temp_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
}

// A fresh name for a temporary file beside `path`.
std::string temp_name(const std::string& path) {
  static thread_local std::random_device entropy;
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return dir + temp_prefix(path) + std::to_string(entropy());
}

// Gives the new file the mode of the one it replaces, when there is one.
IoResult<void> copy_mode(const File& file, const std::string& target) {
  struct stat old;
  if (::stat(target.c_str(), &old) == 0 && ::fchmod(file.fd(), old.st_mode & 07777) != 0) {
    return last_error();
  }
  return {};
}

}  // namespace

bool IoError::absent() const { return code == ENOENT; }

IoError IoError::too_large() { return IoError{EFBIG}; }

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

IoResult<File> File::open_flags(const std::string& path, int flags, unsigned mode) {
  if (has_nul(path)) return IoError{IoError::kNulInPath};
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(mode));
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_error();
  return File(fd);
}

IoResult<File> File::open(const std::string& path, OpenMode mode) {
  switch (mode) {
    case OpenMode::Read:
      return open_flags(path, O_RDONLY | O_NONBLOCK, 0);
    case OpenMode::Write:
      return open_flags(path, O_WRONLY | O_NONBLOCK, 0);
    case OpenMode::Append:
      return open_flags(path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0666);
    case OpenMode::ReadAppend:
      return open_flags(path, O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK, 0666);
  }
  return IoError{EINVAL};
}

IoResult<std::string> File::read_all() {
  std::string text;
  struct stat st;
  const bool regular = ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  std::size_t used = 0;
  while (true) {
    if (!regular && used > kStreamLimit) return IoError::too_large();
    if (text.size() - used < 65536) text.resize(used + std::max<std::size_t>(65536, used / 2));
    const ssize_t got = ::read(fd_, text.data() + used, text.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (got == 0) break;
    used += static_cast<std::size_t>(got);
  }
  text.resize(used);
  return text;
}

IoResult<void> File::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (put == 0) return IoError{IoError::kWriteZero};
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return {};
}

IoResult<FileStamp> File::stamp() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return last_error();
  return stamp_of(st);
}

IoResult<std::size_t> File::read_at(char* out, std::size_t count, std::uint64_t offset) const {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return last_error();
    }
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return done;
}

IoResult<void> File::truncate(std::uint64_t length) {
  while (::ftruncate(fd_, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return last_error();
  }
  return {};
}

IoResult<void> File::sync() {
#ifdef F_FULLFSYNC
  // Apple's fsync leaves the bytes in the drive's own cache; only this request
  // reaches the medium. File systems that refuse it get the plain fsync.
  if (::fcntl(fd_, F_FULLFSYNC) == 0) return {};
#endif
  if (::fsync(fd_) != 0) return last_error();
  return {};
}

void File::start_writeback([[maybe_unused]] std::uint64_t offset,
                           [[maybe_unused]] std::size_t size) {
#if defined(SYNC_FILE_RANGE_WRITE) && !defined(PVDB_POSIX_FALLBACKS)
  (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(size),
                          SYNC_FILE_RANGE_WRITE);
#endif
}

IoResult<FileStamp> stamp_path(const std::string& path) {
  if (has_nul(path)) return IoError{IoError::kNulInPath};
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return stamp_of(st);
  if (errno == ENOENT || errno == ENOTDIR) return FileStamp{};
  return last_error();
}

bool path_exists(const std::string& path) {
  if (has_nul(path)) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

IoResult<std::size_t> read_some(int fd, char* out, std::size_t count) {
  while (true) {
    const ssize_t got = ::read(fd, out, count);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return last_error();
  }
}

IoResult<std::string> resolve_links(const std::string& path) {
  if (has_nul(path)) return IoError{IoError::kNulInPath};
  std::string resolved = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t len = ::readlink(resolved.c_str(), target.data(), target.size());
    if (len < 0 || static_cast<std::size_t>(len) >= target.size()) break;
    target.resize(static_cast<std::size_t>(len));
    resolved = target.front() == '/' ? target : parent_dir(resolved) + "/" + target;
  }
  return resolved;
}

IoResult<void> sync_parent_dir(const std::string& path) {
  auto dir = File::open_flags(parent_dir(path), O_RDONLY | O_DIRECTORY, 0);
  if (!dir.ok()) return dir.error();
  return dir.value().sync();
}

void remove_stale_temps(const std::string& target) {
  const std::string dir = parent_dir(target);
  const std::string prefix = temp_prefix(target);
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr) return;
  while (const dirent* item = ::readdir(folder)) {
    const std::string_view name = item->d_name;
    if (name.size() > prefix.size() && name.starts_with(prefix)) {
      ::unlinkat(::dirfd(folder), item->d_name, 0);
    }
  }
  ::closedir(folder);
}

Replacement::Replacement(File file, std::string target, std::string temp_path)
    : file_(std::move(file)), target_(std::move(target)), temp_path_(std::move(temp_path)) {}

Replacement::Replacement(Replacement&& other) noexcept
    : file_(std::move(other.file_)),
      target_(std::move(other.target_)),
      temp_path_(std::exchange(other.temp_path_, std::string())) {}

Replacement::~Replacement() {
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

#ifdef PVDB_UNNAMED_FILES
IoResult<std::optional<Replacement>> Replacement::unnamed(const std::string& target) {
  auto file = File::open_flags(parent_dir(target), O_TMPFILE | O_WRONLY, 0666);
  if (!file.ok()) {
    const int code = file.error().code;
    if (code == EOPNOTSUPP || code == EISDIR || code == EINVAL) return std::optional<Replacement>();
    return file.error();
  }
  if (auto copied = copy_mode(file.value(), target); !copied.ok()) return copied.error();
  return std::optional<Replacement>(Replacement(std::move(file).value(), target, std::string()));
}

IoResult<bool> Replacement::name() {
  if (!temp_path_.empty()) return true;
  const std::string self = "/proc/self/fd/" + std::to_string(file_.fd());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp_path = temp_name(target_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp_path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temp_path_ = std::move(temp_path);
      return true;
    }
    // No /proc to name the file through.
    if (errno == ENOENT) return false;
    if (errno != EEXIST) return last_error();
  }
  return IoError{EEXIST};
}
#else
// No unnamed files on this system: the caller writes a named one.
IoResult<std::optional<Replacement>> Replacement::unnamed(const std::string&) {
  return std::optional<Replacement>();
}

IoResult<bool> Replacement::name() { return true; }
#endif

IoResult<Replacement> Replacement::named(const std::string& target) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp_path = temp_name(target);
    auto file = File::open_flags(temp_path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!file.ok() && file.error().code == EEXIST) continue;
    if (!file.ok()) return file.error();
    Replacement replacement(std::move(file).value(), target, std::move(temp_path));
    if (auto copied = copy_mode(replacement.file_, target); !copied.ok()) return copied.error();
    return replacement;
  }
  return IoError{EEXIST};
}

IoResult<void> Replacement::replace() {
  PVDB_CHECK(!temp_path_.empty());
  file_ = File();
  if (::rename(temp_path_.c_str(), target_.c_str()) != 0) return last_error();
  temp_path_.clear();
  return {};
}

}  // namespace pvdb::base
