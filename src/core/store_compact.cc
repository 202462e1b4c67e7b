#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/file.h"
#include "core/snapshot.h"
#include "core/vector_store.h"

// Linux can create a file without a name (O_TMPFILE) and name it through /proc once
// it is complete; elsewhere, and with PVDB_POSIX_FALLBACKS, every snapshot is
// written under a temporary name from the start.
#if defined(__linux__) && defined(O_TMPFILE) && !defined(PVDB_POSIX_FALLBACKS)
#define PVDB_UNNAMED_FILES 1
#endif

namespace pvdb::core {
namespace {

std::string parent_dir(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file that the path names after following symbolic links, so that replacing it
// keeps a link pointing where it pointed. A dangling link resolves to its target.
std::string resolve_links(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096) + 1, '\0');
    const ssize_t len = ::readlink(path.c_str(), target.data(), target.size());
    if (len < 0 || static_cast<std::size_t>(len) >= target.size()) break;
    target.resize(static_cast<std::size_t>(len));
    path = target.front() == '/' ? target : parent_dir(path) + "/" + target;
  }
  return path;
}

// The name prefix of the temporary files that replace `path`, in its folder.
std::string temp_prefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return "." + (slash == std::string::npos ? path : path.substr(slash + 1)) + ".tmp-";
}

// A compaction killed between naming its temporary file and renaming it (or, where
// files cannot be created unnamed, between creating and renaming it) leaves the file
// behind; the next compaction of the same snapshot removes such leftovers.
void remove_stale_temps(const std::string& path) {
  const std::string dir = parent_dir(path);
  const std::string prefix = temp_prefix(path);
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

// A fresh name for a temporary file beside `path`.
std::string temp_name(const std::string& path) {
  static thread_local std::random_device entropy;
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return dir + temp_prefix(path) + std::to_string(entropy());
}

// Writes the whole content of a new file; may be called again for another file.
using Content = std::function<Result<void>(File&)>;

// Gives the new file the mode of the one it replaces (when there is one), then writes
// and syncs it. A new file is otherwise created like any other: 0666 less the umask.
// `stamp` is the complete file's, which a rename does not change.
Result<void> fill(File& file, const std::string& path, const Content& content, FileStamp& stamp) {
  struct stat old;
  if (::stat(path.c_str(), &old) == 0 && ::fchmod(file.fd(), old.st_mode & 07777) != 0) {
    return VectorDbError::io_errno(errno);
  }
  if (auto done = content(file); !done.ok()) return done;
  if (auto synced = file.sync(); !synced.ok()) return synced;
  auto complete = file.stamp();
  if (!complete.ok()) return std::move(complete).error();
  stamp = complete.value();
  return {};
}

#ifdef PVDB_UNNAMED_FILES
bool unnamed_unsupported(int code) {
  return code == EOPNOTSUPP || code == EISDIR || code == EINVAL;
}

// Names the unnamed file open as `fd` with a fresh temporary name beside `path`.
Result<void> link_unnamed(int fd, const std::string& path, std::string& temp_path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = temp_name(path);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp_path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      return {};
    }
    if (errno != EEXIST) return VectorDbError::io_errno(errno);
  }
  return VectorDbError::io_errno(EEXIST);
}

// Writes `content` into a file in the folder of `path` that gets its name `temp_path`
// only once it is complete and synced, so a process killed before that leaves nothing
// behind. False when this system or file system cannot make such files (no O_TMPFILE,
// no /proc).
Result<bool> write_unnamed(const std::string& path, const Content& content, std::string& temp_path,
                           FileStamp& stamp) {
  auto file = File::open(parent_dir(path), O_TMPFILE | O_WRONLY, 0666);
  if (!file.ok()) {
    if (unnamed_unsupported(file.error().os_code())) return false;
    return std::move(file).error();
  }
  if (auto done = fill(file.value(), path, content, stamp); !done.ok()) {
    return std::move(done).error();
  }
  auto linked = link_unnamed(file.value().fd(), path, temp_path);
  if (!linked.ok()) {
    if (linked.error().os_code() == ENOENT) return false;
    return std::move(linked).error();
  }
  return true;
}
#else
// No unnamed files on this system: the caller writes a named one.
Result<bool> write_unnamed(const std::string&, const Content&, std::string&, FileStamp&) {
  return false;
}
#endif

// The same with a named temporary file, which a kill before the rename leaves behind
// until the next compaction removes it.
Result<void> write_named(const std::string& path, const Content& content, std::string& temp_path,
                         FileStamp& stamp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temp_path = temp_name(path);
    auto file = File::open(temp_path, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!file.ok() && file.error().os_code() == EEXIST) continue;
    if (!file.ok()) return std::move(file).error();
    Result<void> done = fill(file.value(), path, content, stamp);
    if (!done.ok()) ::unlink(temp_path.c_str());
    return done;
  }
  return VectorDbError::io_errno(EEXIST);
}

// Starts the writeback of the `size` bytes just written at `offset`, so that the sync
// that ends the file waits for the last pieces only. Only a request: a failure changes
// nothing, and where the system has no such request the final sync does all the work.
void start_writeback(int fd, off_t offset, std::size_t size) {
#if defined(SYNC_FILE_RANGE_WRITE) && !defined(PVDB_POSIX_FALLBACKS)
  (void)::sync_file_range(fd, offset, static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#else
  (void)fd;
  (void)offset;
  (void)size;
#endif
}

Result<void> sync_dir(const std::string& dir) {
  auto file = File::open(dir, O_RDONLY | O_DIRECTORY);
  if (!file.ok()) return std::move(file).error();
  return file.value().sync();
}

// Replaces the file at `path` with `content` so that a crash or an I/O error at any point
// leaves either the old file or the complete new one, never a mixture. `renamed` is the
// new file's stamp once it has taken the old one's place, even if the call then fails.
Result<void> replace_file(const std::string& path, const Content& content,
                          std::optional<FileStamp>& renamed) {
  if (path.find('\0') != std::string::npos) return VectorDbError::nul_in_path();
  const std::string target = resolve_links(path);
  remove_stale_temps(target);
  std::string temp_path;
  FileStamp stamp;
  auto named = write_unnamed(target, content, temp_path, stamp);
  if (!named.ok()) return std::move(named).error();
  if (!named.value()) {
    if (auto done = write_named(target, content, temp_path, stamp); !done.ok()) return done;
  }
  if (::rename(temp_path.c_str(), target.c_str()) != 0) {
    const int code = errno;
    ::unlink(temp_path.c_str());
    return VectorDbError::io_errno(code);
  }
  renamed = stamp;
  return sync_dir(parent_dir(target));
}

}  // namespace

Result<bool> VectorStore::files_unchanged(const FileStamp& log) const {
  if (!log_.unchanged(log)) return false;
  if (!snapshot_seen_) return true;
  auto snapshot = stamp_path(config_.snapshot_path);
  if (!snapshot.ok()) return std::move(snapshot).error();
  // No store writes anything but a regular file there; whatever else stands in the
  // way makes the replacement fail with the system's own error.
  if (snapshot.value().present && !snapshot.value().regular) return true;
  return snapshot.value() == *snapshot_seen_;
}

Result<void> VectorStore::compact() {
  if (wal_pending_ == 0) return {};
  // A non-finite value would be written as null, which can never be read back: refuse
  // before anything is written, and name the record so that it can be mended.
  std::vector<const VectorEntry*> image;
  image.reserve(entries_.size());
  for (const auto& [id, entry] : entries_) {
    for (float x : entry.embedding) {
      if (!std::isfinite(x)) return VectorDbError::non_finite_entry(id);
    }
    image.push_back(&entry);
  }
  // Written as it is encoded: the text of a large store never lies in memory whole.
  const auto content = [&](File& file) {
    off_t written = 0;
    return write_snapshot(dim_.value_or(0), image, [&](std::string_view bytes) {
      auto done = file.write_all(bytes);
      if (!done.ok()) return done;
      start_writeback(file.fd(), written, bytes.size());
      written += static_cast<off_t>(bytes.size());
      return done;
    });
  };
  File wal;
  FileStamp log;
  if (auto opened = log_.open_for_compaction(wal, log); !opened.ok()) return opened;
  auto unchanged = files_unchanged(log);
  if (!unchanged.ok()) return std::move(unchanged).error();
  if (!unchanged.value()) return VectorDbError::files_changed();
  std::optional<FileStamp> renamed;
  auto written = replace_file(config_.snapshot_path, content, renamed);
  if (renamed) snapshot_seen_ = renamed;
  if (!written.ok()) return written;
  if (auto emptied = log_.empty(wal, log); !emptied.ok()) return emptied;
  wal_pending_ = 0;
  rebuild_index();
  return {};
}

}  // namespace pvdb::core
