// Fails chosen file-system calls of the process it is preloaded into, so that the
// store's handling of I/O errors can be driven call by call. It wraps the calls the
// module makes: open, write, fsync, rename, ftruncate, unlink(at), linkat and close.
//
// Build: cc -shared -fPIC -O1 -o libfault_inject.so fault_inject.c -ldl
//
// Configuration, read from the environment whenever PVDB_FAULT_ARM changes value (a
// process can run many scenarios one after another by setting a new token each time):
//   PVDB_FAULT_ARM      token of the current scenario; unset, empty or "0" = disarmed
//   PVDB_FAULT_PATTERN  fnmatch(3) pattern ('*' spans '/'); a call counts when its path
//                       matches, or its fd was opened from one (an O_TMPFILE open counts
//                       by the folder it names)
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
//                       "open=A write=B ... linkat=G injected=H"
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

enum Op { kOpen, kWrite, kFsync, kRename, kFtruncate, kUnlink, kLinkat, kOpCount };

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

// The real call, looked up on first use.
#define REAL(name)                      \
  static __typeof__(name)* real_##name; \
  if (!real_##name) real_##name = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

static void copy_env(char* out, size_t size, const char* name) {
  const char* value = getenv(name);
  snprintf(out, size, "%s", value ? value : "");
}

static long env_long(const char* name, long fallback) {
  const char* value = getenv(name);
  return value && *value ? strtol(value, NULL, 10) : fallback;
}

static enum Op op_named(const char* name) {
  char value[32];
  copy_env(value, sizeof value, name);
  for (int i = 0; i < kOpCount; ++i) {
    if (strcmp(value, kOpNames[i]) == 0) return (enum Op)i;
  }
  return kOpCount;  // none
}

// Re-reads the configuration when the arm token changed; returns whether armed.
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
  REAL(open);
  REAL(close);
  int saved = errno;
  int fd = real_open(cfg.counts_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {  // best effort: on failure the test sees stale counts
    for (int i = 0; i < kOpCount; ++i) {
      dprintf(fd, "%s=%ld ", kOpNames[i], cfg.counts[i]);
    }
    dprintf(fd, "injected=%ld\n", cfg.injected);
    real_close(fd);
  }
  errno = saved;
}

static int path_matches(const char* path) {
  return path && refresh() && cfg.pattern[0] && fnmatch(cfg.pattern, path, 0) == 0;
}

static int fd_matches(int fd) { return fd >= 0 && fd < kMaxFd && tracked[fd] && refresh(); }

// Counts one call of kind `op`; returns whether this call is the one to fail, with errno
// set for the failure.
static int count_call(enum Op op) {
  long n = ++cfg.counts[op];
  int fail = cfg.op == op && cfg.k > 0 && (n == cfg.k || (cfg.persist && n > cfg.k));
  fail = fail || (cfg.also == op && cfg.injected > 0);
  if (fail) ++cfg.injected;
  save_counts();
  if (fail && cfg.kill) kill(getpid(), SIGKILL);
  if (fail) errno = cfg.err;
  return fail;
}

int open(const char* path, int flags, ...) {
  REAL(open);
  va_list args;
  va_start(args, flags);
  const int unnamed = (flags & O_TMPFILE) == O_TMPFILE;
  mode_t mode = (flags & O_CREAT) || unnamed ? (mode_t)va_arg(args, int) : 0;
  va_end(args);
  if (unnamed && path_matches(path) && cfg.no_tmpfile) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if (path_matches(path) && count_call(kOpen)) return -1;
  int fd = real_open(path, flags, mode);
  if (fd >= 0 && fd < kMaxFd) tracked[fd] = path_matches(path);
  return fd;
}

ssize_t write(int fd, const void* buf, size_t count) {
  REAL(write);
  if (!fd_matches(fd)) return real_write(fd, buf, count);
  if (fail_next[fd]) {
    fail_next[fd] = 0;
    errno = cfg.err;
    return -1;
  }
  if (!count_call(kWrite)) return real_write(fd, buf, count);
  // A write no longer than the short size cannot be cut short: it fails outright.
  if (cfg.short_bytes < 0 || (size_t)cfg.short_bytes >= count) return -1;
  fail_next[fd] = 1;
  return real_write(fd, buf, (size_t)cfg.short_bytes);
}

int fsync(int fd) {
  REAL(fsync);
  return fd_matches(fd) && count_call(kFsync) ? -1 : real_fsync(fd);
}

int ftruncate(int fd, off_t length) {
  REAL(ftruncate);
  return fd_matches(fd) && count_call(kFtruncate) ? -1 : real_ftruncate(fd, length);
}

int rename(const char* from, const char* to) {
  REAL(rename);
  if ((path_matches(from) || path_matches(to)) && count_call(kRename)) return -1;
  return real_rename(from, to);
}

int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  REAL(linkat);
  if ((path_matches(from) || path_matches(to)) && count_call(kLinkat)) return -1;
  return real_linkat(fromfd, from, tofd, to, flags);
}

int unlink(const char* path) {
  REAL(unlink);
  return path_matches(path) && count_call(kUnlink) ? -1 : real_unlink(path);
}

int unlinkat(int dirfd, const char* path, int flags) {
  REAL(unlinkat);
  return path_matches(path) && count_call(kUnlink) ? -1 : real_unlinkat(dirfd, path, flags);
}

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < kMaxFd) {
    tracked[fd] = 0;
    fail_next[fd] = 0;
  }
  return real_close(fd);
}
