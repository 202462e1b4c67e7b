#include "base/spin_lock.h"

#include <pthread.h>

namespace pvdb::base {

void around_fork(void (*before)(), void (*after)()) {
  // Fails only without memory for the handlers, which leaves forks as they were.
  (void)pthread_atfork(before, after, after);
}

}  // namespace pvdb::base
