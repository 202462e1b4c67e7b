#include "index/sketch.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/check.h"
#include "index/kernels.h"

namespace pvdb::index {
namespace {

// Longer points get no bound: the bound below needs the rounding error of a
// vector to stay well under its norm, and n * 2^-24 to stay small.
constexpr std::size_t kMaxSketchLength = 4096;
constexpr float kInfinity = std::numeric_limits<float>::infinity();
// A row's values are rounded to this many levels on either side of zero, to fit a byte.
constexpr double kRowLevels = 127.0;

std::size_t lines_for(std::size_t length) { return (length + kSketchLine - 1) / kSketchLine; }

// The levels a query's values are rounded to: against a row's, every partial sum
// of n products stays within 32 bits.
double query_levels(std::size_t n) {
  const double n_d = static_cast<double>(std::max<std::size_t>(n, 1));
  return std::min(32767.0, std::floor(2147483647.0 / (kRowLevels * n_d)));
}

// Rounds a vector to multiples of its largest magnitude / levels, into out (room
// for its length), and gives its step and the norm of its rounding error, both
// relative to `norm`, the latter rounded up. False when no bound is safe.
template <typename Level>
bool round_vector(std::span<const float> values, float norm, double levels, Level* out,
                  float* step_ratio, float* error_ratio) {
  if (values.size() > kMaxSketchLength || !(norm >= 1e-15f && norm <= 1e18f)) return false;
  double largest = 0.0;
  for (const float v : values) largest = std::max(largest, std::fabs(static_cast<double>(v)));
  if (!std::isfinite(largest)) return false;
  const double step = largest / levels;
  double error_sum = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    const double level = std::clamp(std::nearbyint(v / step), -levels, levels);
    out[i] = static_cast<Level>(level);
    error_sum += (v - level * step) * (v - level * step);
  }
  *step_ratio = static_cast<float>(step / norm);
  // A double sum of at most 4096 terms is far within this of its true value.
  const double error = std::sqrt(error_sum) / norm * (1.0 + 1e-9);
  *error_ratio = static_cast<float>(error);
  if (static_cast<double>(*error_ratio) < error)
    *error_ratio = std::nextafter(*error_ratio, kInfinity);
  return true;
}

}  // namespace

void SketchQuery::assign(const Query& q) {
  lines = lines_for(q.values.size());
  words.assign(lines * kSketchLine, 0);
  usable = round_vector(q.values, q.norm, query_levels(q.values.size()), words.data(), &step_ratio,
                        &error_ratio);
}

Sketches::Sketches(const PointSet& points) {
  rows_.resize(points.size());
  for (std::size_t p = 0; p < points.size(); ++p) {
    if (points[p].size() <= kMaxSketchLength)
      stride_ = std::max(stride_, lines_for(points[p].size()));
  }
  lines_.resize(points.size() * stride_);
  for (std::size_t p = 0; p < points.size(); ++p) {
    const Query point = points.query(p);
    Row& row = rows_[p];
    // Rows past the longest sketched length have no lines, and no bound either.
    const std::size_t length = point.values.size();
    if (length == 0 || length > kMaxSketchLength ||
        !round_vector(point.values, point.norm, kRowLevels, lines_[p * stride_].bytes,
                      &row.step_ratio, &row.error_ratio)) {
      row = Row{};
    }
  }
}

// With Q and X the true norms of the two vectors, q = a + e and x = b + f their
// rounded vectors and errors (over the values both have), the exact in-order dot
// lies within gamma(n) Q X of q.x (n products, n - 1 sums; gamma(n) = n u / (1 - n u),
// u = 2^-24), and q.x = a.b + a.f + e.x, with |a.f| <= (Q + |e|) |f| and
// |e.x| <= |e| X. a.b is the integer sum times both steps. The computed norms nq,
// nx are within a relative gamma(n) of Q and X, under 1.001 for n up to 4096, so
// dot / (nq nx) lies within
//   slack = (1.001 + |e|/nq) |f|/nx + 1.001 |e|/nq + 1.002 gamma(4096)
// of sum * step_q/nq * step_x/nx. Each rounded vector is within a quarter of its
// norm at that length, so the quotient stays under 2 in size, and 2^-19 covers
// finish_distance's rounding of denominator, quotient and difference, the bound's
// own way to float, the step ratios kept as floats and the double arithmetic
// here. The norms' lower limit keeps subnormal products of the exact dot far
// below that margin, the upper one keeps every sum finite.
void Sketches::lower_bounds(const SketchQuery& q, std::span<const PointIndex> ids,
                            float* lo) const {
  constexpr double kGamma = 2.45e-4;  // 1.002 gamma(4096)
  const kernels::DotWordsFn kernel = kernels::dot_words();
  // The rows are scattered: ask for all of them first, so that their misses overlap.
  const std::size_t common = std::min(q.lines, stride_);
  for (const PointIndex p : ids) {
    PVDB_CHECK(p < rows_.size());
    __builtin_prefetch(&rows_[p]);
    for (std::size_t l = 0; l < common; ++l) __builtin_prefetch(lines_[p * stride_ + l].bytes);
  }
  const double e = q.error_ratio;
  for (std::size_t k = 0; k < ids.size(); ++k) {
    const Row& row = rows_[ids[k]];
    if (!q.usable || !(row.step_ratio > 0.0f)) {
      lo[k] = -kInfinity;
      continue;
    }
    // Both sides are zero past their own values, so the common lines give the
    // sum over the values both have.
    const std::int32_t sum = kernel(q.words.data(), lines_[ids[k] * stride_].bytes, common);
    const double centre = static_cast<double>(sum) * q.step_ratio * row.step_ratio;
    const double slack = (1.001 + e) * row.error_ratio + 1.001 * e + kGamma + 0x1p-19;
    lo[k] = static_cast<float>(std::max(0.0, 1.0 - centre - slack));
  }
}

}  // namespace pvdb::index
