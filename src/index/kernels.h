#pragma once

#include <cstddef>
#include <cstdint>

// Dot-product kernels behind the cosine distance. Every kernel adds its products
// one at a time in index order, starting from -0.0, with a separate multiply and
// add per element, so all of them return bit-identical sums. The vector kernels
// gain speed by running several independent sums at once, one per lane.
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
void dot_batch_sse2(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out);
// Only callable when has_avx2() is true.
void dot_batch_avx2(const float* query, std::size_t query_len, const float* const* rows,
                    const std::size_t* lens, std::size_t count, float* out);

// Approximate dot products for bounding distances: the sum may be formed in any
// order and with fused multiply-adds, but no product may pass through more than
// len / 8 + 16 roundings, which the error bound in point.cc relies on. Same
// contract as DotBatchFn otherwise.
void dot_fast_batch_scalar(const float* query, std::size_t query_len, const float* const* rows,
                           const std::size_t* lens, std::size_t count, float* out);
// Only callable when has_avx2() is true (it implies FMA here).
void dot_fast_batch_avx2(const float* query, std::size_t query_len, const float* const* rows,
                         const std::size_t* lens, std::size_t count, float* out);

// Integer dot products for sketches (sketch.h): sum over i < lines * 64 of
// a[i] * b[i], exact, so every kernel returns the same. b lies in [-127, 127],
// a in [-32767, 32767], and the sum of every |a[i] * b[i]| within 32 bits.
using DotWordsFn = std::int32_t (*)(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
std::int32_t dot_words_scalar(const std::int16_t* a, const std::int8_t* b, std::size_t lines);
// Only callable when has_avx2() is true.
std::int32_t dot_words_avx2(const std::int16_t* a, const std::int8_t* b, std::size_t lines);

bool has_avx2();

// The widest kernel this processor runs, chosen once per process.
DotBatchFn dot_batch();
DotBatchFn dot_fast_batch();
DotWordsFn dot_words();

}  // namespace pvdb::index::kernels
