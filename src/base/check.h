#pragma once

#include <cstdio>
#include <cstdlib>

// Ends the process when an invariant does not hold. Active in every build: the
// layers that use it have no error values, so a broken invariant must never run on.
#define PVDB_CHECK(cond)                                                                   \
  do {                                                                                     \
    if (!(cond)) [[unlikely]] {                                                            \
      std::fprintf(stderr, "%s:%d: fatal: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::fflush(stderr);                                                                 \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)
