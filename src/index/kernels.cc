#include "index/kernels.h"

#if defined(PVDB_KERNELS_X86)
#include <immintrin.h>
#elif defined(PVDB_KERNELS_NEON)
#include <arm_neon.h>
#endif

#include <algorithm>
#include <cstdint>

#include "base/cpu.h"

namespace pvdb::index::kernels {
namespace {

#if defined(PVDB_KERNELS_X86) || defined(PVDB_KERNELS_NEON)

// Rows are padded up to whole lane groups by repeating row 0; the padded lanes
// are computed and thrown away, which keeps the inner loops free of branches.
struct Lanes {
  const float* rows[kMaxBatch];
  std::size_t ends[kMaxBatch];
  std::size_t shared;  // the shortest common length over all lanes
};

Lanes make_lanes(std::size_t query_len, const float* const* rows, const std::size_t* lens,
                 std::size_t count, std::size_t padded) {
  Lanes lanes;
  lanes.shared = query_len;
  for (std::size_t k = 0; k < padded; ++k) {
    const std::size_t source = k < count ? k : 0;
    lanes.rows[k] = rows[source];
    lanes.ends[k] = std::min(query_len, lens[source]);
    lanes.shared = std::min(lanes.shared, lanes.ends[k]);
  }
  return lanes;
}

// Carries each lane's sum on past the part the vector loop covered, in the same
// order and with the same operations, so the lane ends exactly as a scalar loop.
void finish_lanes(const float* query, const Lanes& lanes, std::size_t start, std::size_t count,
                  float* sums) {
  for (std::size_t k = 0; k < count; ++k) {
    float sum = sums[k];
    const float* row = lanes.rows[k];
    for (std::size_t i = start; i < lanes.ends[k]; ++i) sum = sum + query[i] * row[i];
    sums[k] = sum;
  }
}
#endif

#ifdef PVDB_KERNELS_X86

// Transposes a 4x4 block of four rows starting at column i: cols[j] lane k = row k[i + j].
__attribute__((always_inline)) inline void transpose4(const float* const* rows, std::size_t i,
                                                      __m128* cols) {
  __m128 r0 = _mm_loadu_ps(rows[0] + i);
  __m128 r1 = _mm_loadu_ps(rows[1] + i);
  __m128 r2 = _mm_loadu_ps(rows[2] + i);
  __m128 r3 = _mm_loadu_ps(rows[3] + i);
  _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
  cols[0] = r0;
  cols[1] = r1;
  cols[2] = r2;
  cols[3] = r3;
}

// Runs Groups groups of four lanes; their independent sums hide the latency of
// the adds.
template <int Groups>
void run_sse2(const float* query, const Lanes& lanes, std::size_t first, float* sums) {
  __m128 acc[Groups];
#pragma GCC unroll 2
  for (int g = 0; g < Groups; ++g) acc[g] = _mm_set1_ps(-0.0f);
  const std::size_t blocks = lanes.shared / 4 * 4;
  for (std::size_t i = 0; i < blocks; i += 4) {
#pragma GCC unroll 2
    for (int g = 0; g < Groups; ++g) {
      __m128 cols[4];
      transpose4(lanes.rows + first + 4 * g, i, cols);
#pragma GCC unroll 4
      for (int j = 0; j < 4; ++j) {
        acc[g] = _mm_add_ps(acc[g], _mm_mul_ps(_mm_set1_ps(query[i + j]), cols[j]));
      }
    }
  }
  for (int g = 0; g < Groups; ++g) _mm_storeu_ps(sums + first + 4 * g, acc[g]);
}

// Transposes an 8x8 block of eight rows starting at column i: cols[j] lane k = row k[i + j].
// Rows 0-3 fill the low halves and rows 4-7 the high halves straight from memory, so
// only the two in-lane 4x4 steps need shuffles.
__attribute__((target("avx2"), always_inline)) inline void transpose8(const float* const* rows,
                                                                      std::size_t i, __m256* cols) {
#pragma GCC unroll 2
  for (int half = 0; half < 2; ++half) {
    const std::size_t at = i + 4 * static_cast<std::size_t>(half);
    __m256 t[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      t[k] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(rows[k] + at)),
                                  _mm_loadu_ps(rows[k + 4] + at), 1);
    }
    const __m256 u0 = _mm256_unpacklo_ps(t[0], t[1]);
    const __m256 u1 = _mm256_unpackhi_ps(t[0], t[1]);
    const __m256 u2 = _mm256_unpacklo_ps(t[2], t[3]);
    const __m256 u3 = _mm256_unpackhi_ps(t[2], t[3]);
    cols[4 * half + 0] = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(1, 0, 1, 0));
    cols[4 * half + 1] = _mm256_shuffle_ps(u0, u2, _MM_SHUFFLE(3, 2, 3, 2));
    cols[4 * half + 2] = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(1, 0, 1, 0));
    cols[4 * half + 3] = _mm256_shuffle_ps(u1, u3, _MM_SHUFFLE(3, 2, 3, 2));
  }
}

// Each group of eight lanes takes its block of columns in one go: eight dependent
// adds per group, and the groups' chains overlap in the out-of-order core. Keeping
// one group's columns live at a time avoids spilling registers.
template <int Groups>
__attribute__((target("avx2"))) void run_avx2(const float* query, const Lanes& lanes, float* sums) {
  __m256 acc[Groups];
#pragma GCC unroll 2
  for (int g = 0; g < Groups; ++g) acc[g] = _mm256_set1_ps(-0.0f);
  const std::size_t blocks = lanes.shared / 8 * 8;
  for (std::size_t i = 0; i < blocks; i += 8) {
#pragma GCC unroll 2
    for (int g = 0; g < Groups; ++g) {
      __m256 cols[8];
      transpose8(lanes.rows + 8 * g, i, cols);
#pragma GCC unroll 8
      for (int j = 0; j < 8; ++j) {
        acc[g] = _mm256_add_ps(acc[g], _mm256_mul_ps(_mm256_broadcast_ss(query + i + j), cols[j]));
      }
    }
  }
  for (int g = 0; g < Groups; ++g) _mm256_storeu_ps(sums + 8 * g, acc[g]);
}
#endif

#ifdef PVDB_KERNELS_NEON
// Transposes a 4x4 block of four rows starting at column i: cols[j] lane k = row k[i + j].
__attribute__((always_inline)) inline void transpose4_neon(const float* const* rows, std::size_t i,
                                                           float32x4_t* cols) {
  const float32x4_t r0 = vld1q_f32(rows[0] + i);
  const float32x4_t r1 = vld1q_f32(rows[1] + i);
  const float32x4_t r2 = vld1q_f32(rows[2] + i);
  const float32x4_t r3 = vld1q_f32(rows[3] + i);
  // Pairs of columns within pairs of rows, then pairs of those pairs.
  const float64x2_t t0 = vreinterpretq_f64_f32(vtrn1q_f32(r0, r1));
  const float64x2_t t1 = vreinterpretq_f64_f32(vtrn2q_f32(r0, r1));
  const float64x2_t t2 = vreinterpretq_f64_f32(vtrn1q_f32(r2, r3));
  const float64x2_t t3 = vreinterpretq_f64_f32(vtrn2q_f32(r2, r3));
  cols[0] = vreinterpretq_f32_f64(vtrn1q_f64(t0, t2));
  cols[1] = vreinterpretq_f32_f64(vtrn1q_f64(t1, t3));
  cols[2] = vreinterpretq_f32_f64(vtrn2q_f64(t0, t2));
  cols[3] = vreinterpretq_f32_f64(vtrn2q_f64(t1, t3));
}

// As run_sse2, but all the groups of a batch in one pass: the 32 vector registers
// hold four groups' sums and columns.
// vmulq and vaddq stay two roundings, never one fused step, as the scalar loop.
template <int Groups>
void run_neon(const float* query, const Lanes& lanes, float* sums) {
  float32x4_t acc[Groups];
#pragma GCC unroll 4
  for (int g = 0; g < Groups; ++g) acc[g] = vdupq_n_f32(-0.0f);
  const std::size_t blocks = lanes.shared / 4 * 4;
  for (std::size_t i = 0; i < blocks; i += 4) {
#pragma GCC unroll 4
    for (int g = 0; g < Groups; ++g) {
      float32x4_t cols[4];
      transpose4_neon(lanes.rows + 4 * g, i, cols);
#pragma GCC unroll 4
      for (int j = 0; j < 4; ++j) acc[g] = vaddq_f32(acc[g], vmulq_n_f32(cols[j], query[i + j]));
    }
  }
  for (int g = 0; g < Groups; ++g) vst1q_f32(sums + 4 * g, acc[g]);
}
#endif

// Eight independent sums, so the adds overlap; the tail goes into the first. A
// product passes through at most len / 8 + 1 + 7 + 3 roundings.
float dot_fast_scalar(const float* a, const float* b, std::size_t n) {
  float s[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t k = 0; k < 8; ++k) s[k] += a[i + k] * b[i + k];
  }
  for (; i < n; ++i) s[0] += a[i] * b[i];
  return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
}

#ifdef PVDB_KERNELS_X86
// A product passes through at most len / 32 + 3 fused adds, 2 + 3 reduction adds
// and 7 tail adds.
__attribute__((target("avx2,fma"))) float dot_fast_avx2(const float* a, const float* b,
                                                        std::size_t n) {
  __m256 acc[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                   _mm256_setzero_ps()};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      acc[k] =
          _mm256_fmadd_ps(_mm256_loadu_ps(a + i + 8 * k), _mm256_loadu_ps(b + i + 8 * k), acc[k]);
    }
  }
  for (; i + 8 <= n; i += 8) {
    acc[0] = _mm256_fmadd_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i), acc[0]);
  }
  const __m256 all = _mm256_add_ps(_mm256_add_ps(acc[0], acc[1]), _mm256_add_ps(acc[2], acc[3]));
  __m128 x = _mm_add_ps(_mm256_castps256_ps128(all), _mm256_extractf128_ps(all, 1));
  x = _mm_add_ps(x, _mm_movehl_ps(x, x));
  x = _mm_add_ss(x, _mm_movehdup_ps(x));
  float s = _mm_cvtss_f32(x);
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Sum of the eight 32-bit lanes.
__attribute__((target("avx2"), always_inline)) inline std::int32_t add_lanes(__m256i v) {
  __m128i x = _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2)));
  x = _mm_add_epi32(x, _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(x);
}
#endif

#ifdef PVDB_KERNELS_NEON
// A product passes through at most len / 16 + 3 fused adds, 2 + 2 reduction adds
// and 3 tail adds.
float dot_fast_neon(const float* a, const float* b, std::size_t n) {
  float32x4_t acc[4] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
      acc[k] = vfmaq_f32(acc[k], vld1q_f32(a + i + 4 * k), vld1q_f32(b + i + 4 * k));
    }
  }
  for (; i + 4 <= n; i += 4) acc[0] = vfmaq_f32(acc[0], vld1q_f32(a + i), vld1q_f32(b + i));
  float s = vaddvq_f32(vaddq_f32(vaddq_f32(acc[0], acc[1]), vaddq_f32(acc[2], acc[3])));
  for (; i < n; ++i) s += a[i] * b[i];
  return s;
}
#endif

}  // namespace

std::int32_t dot_words_scalar(const std::int16_t* a, const std::int8_t* b, std::size_t lines) {
  std::int32_t sum = 0;
  for (std::size_t i = 0; i < lines * 64; ++i) sum += a[i] * b[i];
  return sum;
}

#ifdef PVDB_KERNELS_X86
// Sixteen values a step: the bytes widened to 16 bits, then pairs of products
// summed into 32-bit lanes, which hold them (2 * 32767 * 127 is far within).
__attribute__((target("avx2"))) std::int32_t dot_words_avx2(const std::int16_t* a,
                                                            const std::int8_t* b,
                                                            std::size_t lines) {
  __m256i sum = _mm256_setzero_si256();
  for (std::size_t i = 0; i < lines * 64; i += 16) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i));
    const __m256i y =
        _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i)));
    sum = _mm256_add_epi32(sum, _mm256_madd_epi16(x, y));
  }
  return add_lanes(sum);
}
#endif

#ifdef PVDB_KERNELS_NEON
// Sixteen values a step: the bytes widened to 16 bits, then each product widened
// to 32 bits and added into its lane, which holds it (the whole sum fits 32 bits).
std::int32_t dot_words_neon(const std::int16_t* a, const std::int8_t* b, std::size_t lines) {
  int32x4_t low = vdupq_n_s32(0);
  int32x4_t high = vdupq_n_s32(0);
  for (std::size_t i = 0; i < lines * 64; i += 16) {
    const int8x16_t y = vld1q_s8(b + i);
    const int16x8_t y0 = vmovl_s8(vget_low_s8(y));
    const int16x8_t y1 = vmovl_high_s8(y);
    const int16x8_t x0 = vld1q_s16(a + i);
    const int16x8_t x1 = vld1q_s16(a + i + 8);
    low = vmlal_s16(low, vget_low_s16(x0), vget_low_s16(y0));
    high = vmlal_high_s16(high, x0, y0);
    low = vmlal_s16(low, vget_low_s16(x1), vget_low_s16(y1));
    high = vmlal_high_s16(high, x1, y1);
  }
  return vaddvq_s32(vaddq_s32(low, high));
}
#endif

float dot_scalar(const float* a, std::size_t a_len, const float* b, std::size_t b_len) {
  const std::size_t len = std::min(a_len, b_len);
  float dot = -0.0f;
  for (std::size_t i = 0; i < len; ++i) dot = dot + a[i] * b[i];
  return dot;
}

float sum_squares_scalar(const float* a, std::size_t len) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < len; ++i) sum = sum + a[i] * a[i];
  return sum;
}

void dot_batch_scalar(const float* query, std::size_t query_len, const float* const* rows,
                      const std::size_t* lens, std::size_t count, float* out) {
  for (std::size_t k = 0; k < count; ++k) out[k] = dot_scalar(query, query_len, rows[k], lens[k]);
}

#ifdef PVDB_KERNELS_X86
void dot_batch_sse2(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out) {
  if (count == 0) return;
  const std::size_t padded = (count + 3) / 4 * 4;
  const Lanes lanes = make_lanes(query_len, rows, lens, count, padded);
  float sums[kMaxBatch];
  std::size_t first = 0;
  for (; first + 8 <= padded; first += 8) run_sse2<2>(query, lanes, first, sums);
  if (first < padded) run_sse2<1>(query, lanes, first, sums);
  finish_lanes(query, lanes, lanes.shared / 4 * 4, count, sums);
  std::copy(sums, sums + count, out);
}

__attribute__((target("avx2"))) void dot_batch_avx2(const float* query, std::size_t query_len,
                                                    const float* const* rows,
                                                    const std::size_t* lens, std::size_t count,
                                                    float* out) {
  if (count == 0) return;
  const std::size_t padded = count <= 8 ? 8 : 16;
  const Lanes lanes = make_lanes(query_len, rows, lens, count, padded);
  float sums[kMaxBatch];
  if (padded == 8) {
    run_avx2<1>(query, lanes, sums);
  } else {
    run_avx2<2>(query, lanes, sums);
  }
  finish_lanes(query, lanes, lanes.shared / 8 * 8, count, sums);
  std::copy(sums, sums + count, out);
}
#endif

#ifdef PVDB_KERNELS_NEON
void dot_batch_neon(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out) {
  if (count == 0) return;
  const std::size_t padded = (count + 3) / 4 * 4;
  const Lanes lanes = make_lanes(query_len, rows, lens, count, padded);
  float sums[kMaxBatch];
  switch (padded / 4) {
    case 1:
      run_neon<1>(query, lanes, sums);
      break;
    case 2:
      run_neon<2>(query, lanes, sums);
      break;
    case 3:
      run_neon<3>(query, lanes, sums);
      break;
    default:
      run_neon<4>(query, lanes, sums);
      break;
  }
  finish_lanes(query, lanes, lanes.shared / 4 * 4, count, sums);
  std::copy(sums, sums + count, out);
}
#endif

void dot_fast_batch_scalar(const float* query, std::size_t query_len, const float* const* rows,
                           const std::size_t* lens, std::size_t count, float* out) {
  for (std::size_t k = 0; k < count; ++k) {
    out[k] = dot_fast_scalar(query, rows[k], std::min(query_len, lens[k]));
  }
}

#ifdef PVDB_KERNELS_X86
__attribute__((target("avx2,fma"))) void dot_fast_batch_avx2(const float* query,
                                                             std::size_t query_len,
                                                             const float* const* rows,
                                                             const std::size_t* lens,
                                                             std::size_t count, float* out) {
  for (std::size_t k = 0; k < count; ++k) {
    out[k] = dot_fast_avx2(query, rows[k], std::min(query_len, lens[k]));
  }
}
#endif

#ifdef PVDB_KERNELS_NEON
void dot_fast_batch_neon(const float* query, std::size_t query_len, const float* const* rows,
                         const std::size_t* lens, std::size_t count, float* out) {
  for (std::size_t k = 0; k < count; ++k) {
    out[k] = dot_fast_neon(query, rows[k], std::min(query_len, lens[k]));
  }
}
#endif

std::vector<DotBatchFn> dot_batch_kernels() {
#if defined(PVDB_KERNELS_X86)
  if (base::has_avx2_fma()) return {dot_batch_scalar, dot_batch_sse2, dot_batch_avx2};
  return {dot_batch_scalar, dot_batch_sse2};
#elif defined(PVDB_KERNELS_NEON)
  return {dot_batch_scalar, dot_batch_neon};
#else
  return {dot_batch_scalar};
#endif
}

std::vector<DotBatchFn> dot_fast_batch_kernels() {
#if defined(PVDB_KERNELS_X86)
  if (base::has_avx2_fma()) return {dot_fast_batch_scalar, dot_fast_batch_avx2};
#elif defined(PVDB_KERNELS_NEON)
  return {dot_fast_batch_scalar, dot_fast_batch_neon};
#endif
  return {dot_fast_batch_scalar};
}

std::vector<DotWordsFn> dot_words_kernels() {
#if defined(PVDB_KERNELS_X86)
  if (base::has_avx2_fma()) return {dot_words_scalar, dot_words_avx2};
#elif defined(PVDB_KERNELS_NEON)
  return {dot_words_scalar, dot_words_neon};
#endif
  return {dot_words_scalar};
}

DotBatchFn dot_batch() {
  static const DotBatchFn best = dot_batch_kernels().back();
  return best;
}

DotBatchFn dot_fast_batch() {
  static const DotBatchFn best = dot_fast_batch_kernels().back();
  return best;
}

DotWordsFn dot_words() {
  static const DotWordsFn best = dot_words_kernels().back();
  return best;
}

}  // namespace pvdb::index::kernels
