// Fails chosen file-system calls of the process it is preloaded into, so that the
// store's handling of I/O errors can be driven call by call.
//
// Build: cc -shared -fPIC -O1 -o libfault_inject.so fault_inject.c -ldl
//
// Configuration, read from the environment whenever PVDB_FAULT_ARM changes value (a
// process can run many scenarios one after another by setting a new token each time):
//   PVDB_FAULT_ARM      token of the current scenario; unset, empty or "0" = disarmed
//   PVDB_FAULT_PATTERN  fnmatch(3) pattern (no FNM_PATHNAME, so '*' spans '/'); a call
//                       counts when its path matches, or its fd was opened from one; an
//                       O_TMPFILE open counts by the folder it names, and its fd is
//                       tracked like that of a named file opened from a matching path
//   PVDB_FAULT_OP       open | write | fsync | rename | ftruncate | unlink | linkat | none
//   PVDB_FAULT_K        the k-th counted call of that kind fails (1-based)
//   PVDB_FAULT_ERRNO    errno of the failure
//   PVDB_FAULT_PERSIST  1: every counted call of that kind from the k-th on fails
//   PVDB_FAULT_SHORT    n >= 0 (write only): the k-th write puts n bytes into the file and
//                       returns n, and the next write on that fd fails; a write of at
//                       most n bytes fails outright instead
//   PVDB_FAULT_ALSO     a second kind: once the first failure has been injected, every
//                       later counted call of this kind fails too (the clean-up fails)
//   PVDB_FAULT_KILL     1: the failing call kills the process with SIGKILL instead
//   PVDB_FAULT_NOTMPFILE 1: every matching O_TMPFILE open fails with EOPNOTSUPP, uncounted,
//                       as on a file system that cannot make unnamed files
//   PVDB_FAULT_COUNTS   file rewritten after every counted call with one line
//                       "open=A write=B fsync=C rename=D ftruncate=E unlink=F linkat=G
//                       injected=H"
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

enum Op {
  kOpen,
  kWrite,
  kFsync,
  kRename,
  kFtruncate,
  kUnlink,
  kLinkat,
  kOpCount,
  kNone = kOpCount
};

static const char* const kOpNames[kOpCount] = {"open",      "write",  "fsync", "rename",
                                               "ftruncate", "unlink", "linkat"};

#define kMaxFd 65536

static struct {
  char token[128];
  char pattern[4096];
  int armed;
  enum Op op;
  enum Op also;
  long k;
  int err;
  int persist;
  long short_bytes;
  int kill;
  int no_tmpfile;
  char counts_path[4096];
  long counts[kOpCount];
  long injected;
} cfg;

static unsigned char tracked[kMaxFd];    // fd opened from a matching path
static unsigned char fail_next[kMaxFd];  // the write after a short one fails

static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static ssize_t (*real_write)(int, const void*, size_t);
static int (*real_fsync)(int);
static int (*real_fdatasync)(int);
static int (*real_rename)(const char*, const char*);
static int (*real_renameat)(int, const char*, int, const char*);
static int (*real_ftruncate)(int, off_t);
static int (*real_ftruncate64)(int, off_t);
static int (*real_unlink)(const char*);
static int (*real_unlinkat)(int, const char*, int);
static int (*real_close)(int);
static int (*real_linkat)(int, const char*, int, const char*, int);

#define LOAD(name) real_##name = dlsym(RTLD_NEXT, #name)

__attribute__((constructor)) static void load_real(void) {
  LOAD(open);
  LOAD(open64);
  LOAD(openat);
  LOAD(openat64);
  LOAD(write);
  LOAD(fsync);
  LOAD(fdatasync);
  LOAD(rename);
  LOAD(renameat);
  LOAD(ftruncate);
  LOAD(ftruncate64);
  LOAD(unlink);
  LOAD(unlinkat);
  LOAD(close);
  LOAD(linkat);
}

static void copy_env(char* out, size_t size, const char* name) {
  const char* value = getenv(name);
  snprintf(out, size, "%s", value ? value : "");
}

static long env_long(const char* name, long fallback) {
  const char* value = getenv(name);
  return value && *value ? strtol(value, NULL, 10) : fallback;
}

// Re-reads the configuration when the arm token changed; returns whether armed.
static enum Op op_named(const char* name) {
  char value[32];
  copy_env(value, sizeof value, name);
  for (int i = 0; i < kOpCount; ++i) {
    if (strcmp(value, kOpNames[i]) == 0) return (enum Op)i;
  }
  return kNone;
}

static int refresh(void) {
  const char* token = getenv("PVDB_FAULT_ARM");
  if (!token) token = "";
  if (strcmp(token, cfg.token) == 0) return cfg.armed;
  snprintf(cfg.token, sizeof cfg.token, "%s", token);
  cfg.armed = *token && strcmp(token, "0") != 0;
  copy_env(cfg.pattern, sizeof cfg.pattern, "PVDB_FAULT_PATTERN");
  copy_env(cfg.counts_path, sizeof cfg.counts_path, "PVDB_FAULT_COUNTS");
  cfg.op = op_named("PVDB_FAULT_OP");
  cfg.also = op_named("PVDB_FAULT_ALSO");
  cfg.k = env_long("PVDB_FAULT_K", 0);
  cfg.err = (int)env_long("PVDB_FAULT_ERRNO", EIO);
  cfg.persist = env_long("PVDB_FAULT_PERSIST", 0) != 0;
  cfg.short_bytes = env_long("PVDB_FAULT_SHORT", -1);
  cfg.kill = env_long("PVDB_FAULT_KILL", 0) != 0;
  cfg.no_tmpfile = env_long("PVDB_FAULT_NOTMPFILE", 0) != 0;
  memset(cfg.counts, 0, sizeof cfg.counts);
  cfg.injected = 0;
  memset(fail_next, 0, sizeof fail_next);
  return cfg.armed;
}

static void save_counts(void) {
  if (!cfg.counts_path[0]) return;
  char line[256];
  int n = snprintf(line, sizeof line,
                   "open=%ld write=%ld fsync=%ld rename=%ld ftruncate=%ld "
                   "unlink=%ld linkat=%ld injected=%ld\n",
                   cfg.counts[kOpen], cfg.counts[kWrite], cfg.counts[kFsync], cfg.counts[kRename],
                   cfg.counts[kFtruncate], cfg.counts[kUnlink], cfg.counts[kLinkat], cfg.injected);
  int saved = errno;
  int fd = real_open(cfg.counts_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (real_write(fd, line, (size_t)n) < 0) { /* best effort: the test sees stale counts */
    }
    real_close(fd);
  }
  errno = saved;
}

static int path_matches(const char* path) {
  return path && refresh() && cfg.pattern[0] && fnmatch(cfg.pattern, path, 0) == 0;
}

static int fd_matches(int fd) { return fd >= 0 && fd < kMaxFd && tracked[fd] && refresh(); }

// Counts one call of kind `op`; returns whether this call is the one to fail.
static int count_call(enum Op op) {
  long n = ++cfg.counts[op];
  int fail = cfg.op == op && cfg.k > 0 && (n == cfg.k || (cfg.persist && n > cfg.k));
  fail = fail || (cfg.also == op && cfg.injected > 0);
  if (fail) ++cfg.injected;
  save_counts();
  if (fail && cfg.kill) kill(getpid(), SIGKILL);
  return fail;
}

static int fail_with_errno(void) {
  errno = cfg.err;
  return -1;
}

static void track(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxFd) tracked[fd] = path_matches(path);
}

static int open_common(int (*real)(int, const char*, int, ...), int dirfd, const char* path,
                       int flags, mode_t mode) {
  const int unnamed = (flags & O_TMPFILE) == O_TMPFILE;
  if (unnamed && path_matches(path) && cfg.no_tmpfile) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (path_matches(path) && count_call(kOpen)) return fail_with_errno();
  int fd = real(dirfd, path, flags, mode);
  track(fd, path);
  return fd;
}

static mode_t mode_arg(int flags, va_list args) {
  const int wants_mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
  return wants_mode ? (mode_t)va_arg(args, int) : 0;
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_common(real_openat, AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_common(real_openat64, AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_common(real_openat, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  mode_t mode = mode_arg(flags, args);
  va_end(args);
  return open_common(real_openat64, dirfd, path, flags, mode);
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (!fd_matches(fd)) return real_write(fd, buf, count);
  if (fail_next[fd]) {
    fail_next[fd] = 0;
    save_counts();
    return fail_with_errno();
  }
  if (!count_call(kWrite)) return real_write(fd, buf, count);
  // A write no longer than the short size cannot be cut short: it fails outright.
  if (cfg.short_bytes < 0 || (size_t)cfg.short_bytes >= count) return fail_with_errno();
  fail_next[fd] = 1;
  return real_write(fd, buf, (size_t)cfg.short_bytes);
}

static int sync_common(int (*real)(int), int fd) {
  if (fd_matches(fd) && count_call(kFsync)) return fail_with_errno();
  return real(fd);
}

int fsync(int fd) { return sync_common(real_fsync, fd); }
int fdatasync(int fd) { return sync_common(real_fdatasync, fd); }

int rename(const char* from, const char* to) {
  if ((path_matches(from) || path_matches(to)) && count_call(kRename)) return fail_with_errno();
  return real_rename(from, to);
}

int renameat(int fromfd, const char* from, int tofd, const char* to) {
  if ((path_matches(from) || path_matches(to)) && count_call(kRename)) return fail_with_errno();
  return real_renameat(fromfd, from, tofd, to);
}

static int truncate_common(int (*real)(int, off_t), int fd, off_t length) {
  if (fd_matches(fd) && count_call(kFtruncate)) return fail_with_errno();
  return real(fd, length);
}

int ftruncate(int fd, off_t length) { return truncate_common(real_ftruncate, fd, length); }
int ftruncate64(int fd, off_t length) { return truncate_common(real_ftruncate64, fd, length); }

int unlink(const char* path) {
  if (path_matches(path) && count_call(kUnlink)) return fail_with_errno();
  return real_unlink(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  if (path_matches(path) && count_call(kUnlink)) return fail_with_errno();
  return real_unlinkat(dirfd, path, flags);
}

int close(int fd) {
  if (fd >= 0 && fd < kMaxFd) {
    tracked[fd] = 0;
    fail_next[fd] = 0;
  }
  return real_close(fd);
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  if ((path_matches(from) || path_matches(to)) && count_call(kLinkat)) return fail_with_errno();
  return real_linkat(fromfd, from, tofd, to, flags);
}
