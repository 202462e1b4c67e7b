#include "base/entropy.h"

#include <fcntl.h>
#include <unistd.h>

// getrandom is Linux's; elsewhere, and with PVDB_POSIX_FALLBACKS, the entropy comes
// from /dev/urandom, which every POSIX system we build for has.
#if defined(__linux__) && !defined(PVDB_POSIX_FALLBACKS)
#define PVDB_GETRANDOM 1
#include <sys/random.h>
#endif

#include <cerrno>

#include "base/check.h"

namespace pvdb::base {

void read_entropy(unsigned char* out, std::size_t size) {
  std::size_t done = 0;
#ifdef PVDB_GETRANDOM
  while (done < size) {
    const ssize_t got = getrandom(out + done, size - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == ENOSYS) {
      break;  // a kernel older than the call: /dev/urandom below
    } else {
      PVDB_CHECK(got < 0 && errno == EINTR);
    }
  }
  if (done == size) return;
#endif
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  PVDB_CHECK(fd >= 0);
  while (done < size) {
    const ssize_t got = read(fd, out + done, size - done);
    PVDB_CHECK(got > 0 || (got < 0 && errno == EINTR));
    if (got > 0) done += static_cast<std::size_t>(got);
  }
  close(fd);
}

}  // namespace pvdb::base
