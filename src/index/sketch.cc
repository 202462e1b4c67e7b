#include "index/sketch.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "index/check.h"
#include "index/kernels.h"

namespace pvdb::index {
namespace {

// Longer points get no bound: the bound below needs the rounding error of a
// vector to stay well under its norm, and n * 2^-24 to stay small.
constexpr std::size_t kMaxSketchLength = 4096;

std::size_t lines_for(std::size_t length) { return (length + kSketchLine - 1) / kSketchLine; }

// The step of a vector and its rounded values, with the norms of the rounded
// vector and of the rounding error relative to `norm`, each rounded up. False when
// no bound is safe; `level(i, value)` receives the rounded values.
template <typename Level>
bool round_vector(std::span<const float> values, float norm, double* step_ratio,
                  double* rounded_ratio, double* error_ratio, Level level) {
  if (values.size() > kMaxSketchLength || !(norm >= 1e-15f && norm <= 1e18f)) return false;
  double largest = 0.0;
  for (const float v : values) largest = std::max(largest, std::fabs(static_cast<double>(v)));
  if (!std::isfinite(largest)) return false;
  const double step = largest / 127.0;
  double rounded_sum = 0.0;
  double error_sum = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double v = values[i];
    const double l = std::clamp(std::nearbyint(v / step), -127.0, 127.0);
    level(i, static_cast<int>(l));
    rounded_sum += (l * step) * (l * step);
    error_sum += (v - l * step) * (v - l * step);
  }
  // Double sums of at most 4096 terms are far within this of their true value.
  const double up = 1.0 + 1e-9;
  *step_ratio = step / norm;
  *rounded_ratio = std::sqrt(rounded_sum) / norm * up;
  *error_ratio = std::sqrt(error_sum) / norm * up;
  return true;
}

}  // namespace

void SketchQuery::assign(const Query& q) {
  lines = lines_for(q.values.size());
  pos.assign(lines * kSketchLine, 0);
  neg.assign(lines * kSketchLine, 0);
  usable = round_vector(q.values, q.norm, &step_ratio, &rounded_ratio, &error_ratio,
                        [&](std::size_t i, int l) {
                          (l >= 0 ? pos : neg)[i] = static_cast<std::uint8_t>(l >= 0 ? l : -l);
                        });
}

Sketches::Sketches(const PointSet& points) {
  rows_.resize(points.size());
  std::size_t total = 0;
  for (std::size_t p = 0; p < points.size(); ++p) total += lines_for(points[p].size());
  PVDB_CHECK(total <= UINT32_MAX);
  lines_.resize(total);
  std::size_t first = 0;
  for (std::size_t p = 0; p < points.size(); ++p) {
    const Query point = points.query(p);
    const std::size_t lines = lines_for(point.values.size());
    std::int8_t* bytes = lines == 0 ? nullptr : lines_[first].bytes;
    double step_ratio = 0.0;
    double rounded_ratio = 0.0;
    double error_ratio = 0.0;
    Row& row = rows_[p];
    row.step_ratio = std::numeric_limits<float>::quiet_NaN();
    if (round_vector(point.values, point.norm, &step_ratio, &rounded_ratio, &error_ratio,
                     [&](std::size_t i, int l) { bytes[i] = static_cast<std::int8_t>(l); })) {
      row.step_ratio = static_cast<float>(step_ratio);
      row.error_ratio = static_cast<float>(error_ratio * (1.0 + 1e-6));
      row.first = static_cast<std::uint32_t>(first);
      row.lines = static_cast<std::uint32_t>(lines);
    }
    first += lines;
  }
}

std::size_t Sketches::bytes() const {
  return rows_.capacity() * sizeof(Row) + lines_.capacity() * sizeof(Line);
}

// With Q and X the true norms of query and point, q = a + e and x = b + f their
// rounded vectors and errors (over the values both have), the exact in-order dot
// lies within gamma(n) Q X of q.x (n products, n - 1 sums; gamma(n) = n u / (1 - n u),
// u = 2^-24), and q.x = a.b + a.f + e.x, with |a.f| <= |a| |f| and |e.x| <= |e| X.
// a.b is the integer sum times both steps. The computed norms are within a
// relative gamma(n) of Q and X, under 1.001 for n up to 4096, so dot / (norms)
// is at most
//   sum * step_q/nq * step_x/nx + |a|/nq * |f|/nx + 1.001 |e|/nq + 1.002 gamma(4096).
// Each rounded vector is within a quarter of its norm at that length, so the
// quotient stays under 2 in size, and 2^-19 covers finish_distance's rounding of
// denominator, quotient and difference, the bound's own way to float, the row's
// step ratio kept as a float, and the double arithmetic here. The norms' lower
// limit keeps subnormal products of the exact dot far below that margin, the
// upper one keeps every sum finite.
void Sketches::lower_bounds(const SketchQuery& q, std::span<const PointIndex> ids,
                            float* lo) const {
  constexpr double kGamma = 2.45e-4;  // 1.002 gamma(4096)
  const kernels::DotBytesFn kernel = kernels::dot_bytes();
  // The rows are scattered: ask for all of them first, so that their misses overlap.
  for (std::size_t k = 0; k < ids.size(); ++k) {
    PVDB_CHECK(ids[k] < rows_.size());
    const Row& row = rows_[ids[k]];
    for (std::uint32_t l = 0; l < row.lines; ++l) __builtin_prefetch(lines_[row.first + l].bytes);
  }
  for (std::size_t k = 0; k < ids.size(); ++k) {
    lo[k] = -std::numeric_limits<float>::infinity();
    const Row& row = rows_[ids[k]];
    if (!q.usable || std::isnan(row.step_ratio)) continue;
    const std::size_t lines = std::min<std::size_t>(q.lines, row.lines);
    const std::int32_t sum =
        lines == 0 ? 0 : kernel(q.pos.data(), q.neg.data(), lines_[row.first].bytes, lines);
    const double most = static_cast<double>(sum) * q.step_ratio * row.step_ratio +
                        q.rounded_ratio * row.error_ratio + 1.001 * q.error_ratio + kGamma;
    lo[k] = static_cast<float>(std::max(0.0, 1.0 - most - 0x1p-19));
  }
}

}  // namespace pvdb::index
