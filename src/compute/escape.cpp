// escape.cpp — the continuous count and the distance of an escaped point.
#include "compute/escape.h"

#include <bit>
#include <cmath>
#include <cstdint>

namespace zd {

double log2_of(double x) {
  // x = m 2^e with m in [sqrt(1/2), sqrt 2); ln m = 2 atanh s with s = (m - 1) / (m + 1), |s| <
  // 0.172, whose series to s^9 leaves less than 1e-9.
  std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  int e = static_cast<int>((bits >> 52) & 0x7ff);
  if (e == 0) {  // subnormal: scale into the normal range (exact)
    bits = std::bit_cast<std::uint64_t>(x * 0x1p54);
    e = static_cast<int>((bits >> 52) & 0x7ff) - 54;
  }
  e -= 1023;
  double m = std::bit_cast<double>((bits & ~(std::uint64_t{0x7ff} << 52)) | (std::uint64_t{1023} << 52));
  if (m > 1.4142135623730951) {
    m = m * 0.5;
    ++e;
  }
  const double s = (m - 1.0) / (m + 1.0), s2 = s * s;
  const double series = s * (1.0 + s2 * (1.0 / 3.0 + s2 * (1.0 / 5.0 + s2 * (1.0 / 7.0 + s2 * (1.0 / 9.0)))));
  return static_cast<double>(e) + series * (2.0 / 0.6931471805599453);
}

Escape escape_of(int n, double zx, double zy, double dx, double dy, double cx, double cy, double pitch,
                 bool distance) {
  constexpr double kFar = 0x1p20;  // |z|² at which the continuous count is taken
  int steps = n + 1;               // z is the value of step n + 1
  double zz = zx * zx + zy * zy;
  // Beyond 2^20 |z|² at least squares at each step: a few steps at most (a NaN ends at once).
  for (int i = 0; i < 64 && zz < kFar && !distance; ++i) {
    const double nx = (zx * zx - zy * zy) - cx, ny = 2.0 * zx * zy - cy;
    zx = nx;
    zy = ny;
    zz = zx * zx + zy * zy;
    ++steps;
  }
  for (int i = 0; i < 64 && zz < kFar && distance; ++i) {
    const double ndx = 2.0 * (zx * dx - zy * dy) - pitch, ndy = 2.0 * (zx * dy + zy * dx);
    const double nx = (zx * zx - zy * zy) - cx, ny = 2.0 * zx * zy - cy;
    zx = nx;
    zy = ny;
    dx = ndx;
    dy = ndy;
    zz = zx * zx + zy * zy;
    ++steps;
  }
  Escape e;
  const double l = log2_of(zz);  // log2 |z|²
  e.nu = static_cast<double>(steps) + 1.0 - log2_of(l / 20.0);
  if (!distance) return e;
  // 2 |z| ln|z| / |D|, with ln|z| = log2 |z|² ln 2 / 2.
  const double d = std::sqrt(dx * dx + dy * dy);
  e.distance = std::sqrt(zz) * l * 0.6931471805599453 / d;
  return e;
}

}  // namespace zd
