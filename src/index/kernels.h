#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Dot-product kernels behind the cosine distance. Every kernel adds its products
// one at a time in index order, starting from -0.0, with a separate multiply and
// add per element, so all of them return bit-identical sums. The vector kernels
// gain speed by running several independent sums at once, one per lane.
//
// Which vector kernels exist depends on the processor the compiler targets: SSE2
// (which every x86-64 processor has) and AVX2 (chosen at run time) on x86-64, NEON
// (which every 64-bit ARM processor has) on AArch64, and none elsewhere or when
// PVDB_PORTABLE_KERNELS is defined; the scalar kernels exist everywhere.
#if !defined(PVDB_PORTABLE_KERNELS) && defined(__x86_64__)
#define PVDB_KERNELS_X86 1
#elif !defined(PVDB_PORTABLE_KERNELS) && defined(__aarch64__)
#define PVDB_KERNELS_NEON 1
#endif

namespace pvdb::index::kernels {

// The most rows one batched call takes.
inline constexpr std::size_t kMaxBatch = 16;

// out[k] = sum over i < min(query_len, lens[k]) of query[i] * rows[k][i], for k < count.
// count is at most kMaxBatch; rows[k] must hold lens[k] floats.
using DotBatchFn = void (*)(const float* query, std::size_t query_len, const float* const* rows,
                            const std::size_t* lens, std::size_t count, float* out);

// The plain reference: one product, then one addition, element after element.
float dot_scalar(const float* a, std::size_t a_len, const float* b, std::size_t b_len);
float sum_squares_scalar(const float* a, std::size_t len);

void dot_batch_scalar(const float* query, std::size_t query_len, const float* const* rows,
                      const std::size_t* lens, std::size_t count, float* out);
#ifdef PVDB_KERNELS_X86
void dot_batch_sse2(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out);
// Only callable when base::has_avx2_fma() is true.
void dot_batch_avx2(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out);
#endif
#ifdef PVDB_KERNELS_NEON
void dot_batch_neon(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out);
#endif

// Approximate dot products for bounding distances: the sum may be formed in any
// order and with fused multiply-adds, but no product may pass through more than
// len / 8 + 16 roundings, which the error bound in point.cc relies on. Same
// contract as DotBatchFn otherwise.
void dot_fast_batch_scalar(const float* query, std::size_t query_len, const float* const* rows,
                           const std::size_t* lens, std::size_t count, float* out);
#ifdef PVDB_KERNELS_X86
// Only callable when base::has_avx2_fma() is true.
void dot_fast_batch_avx2(const float* query, std::size_t query_len, const float* const* rows,
                         const std::size_t* lens, std::size_t count, float* out);
#endif
#ifdef PVDB_KERNELS_NEON
void dot_fast_batch_neon(const float* query, std::size_t query_len, const float* const* rows,
                         const std::size_t* lens, std::size_t count, float* out);
#endif

// Integer dot products for sketches (sketch.h): sum over i < lines * 64 of
// a[i] * b[i], exact, so every kernel returns the same. b lies in [-127, 127],
// a in [-32767, 32767], and the sum of every |a[i] * b[i]| within 32 bits.
using DotWordsFn = std::int32_t (*)(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
std::int32_t dot_words_scalar(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
#ifdef PVDB_KERNELS_X86
// Only callable when base::has_avx2_fma() is true.
std::int32_t dot_words_avx2(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
#endif
#ifdef PVDB_KERNELS_NEON
std::int32_t dot_words_neon(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
#endif

// Every kernel of a kind that this processor runs, the scalar one first and the
// widest last; the tests hold each to the scalar one.
std::vector<DotBatchFn> dot_batch_kernels();
std::vector<DotBatchFn> dot_fast_batch_kernels();
std::vector<DotWordsFn> dot_words_kernels();

// The widest kernel this processor runs, chosen once per process.
DotBatchFn dot_batch();
DotBatchFn dot_fast_batch();
DotWordsFn dot_words();

}  // namespace pvdb::index::kernels
