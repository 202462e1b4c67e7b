#pragma once

namespace pvdb::index {

// One step of a spin on a lock held for a few instructions: the hint lets a
// sibling hardware thread run meanwhile and, on x86, spares the pipeline flush
// when the lock is seen free. Where the processor has no such hint this does nothing.
inline void spin_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  __asm__ __volatile__("yield");
#endif
}

}  // namespace pvdb::index
