#pragma once

namespace pvdb::base {

#if defined(__x86_64__) || defined(__i386__)
// What this processor runs beyond the baseline the build targets, asked once per
// process: the vector paths are compiled for these and chosen at run time.

// SSSE3's byte shuffles and pair-wise multiply-adds.
inline bool has_ssse3() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3") != 0;
  }();
  return has;
}

// AVX2 together with FMA: the wide kernels use both.
inline bool has_avx2_fma() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
}
#endif

}  // namespace pvdb::base
