// bla.cpp — building the table of merged linear steps over a reference orbit.
#include "compute/bla.h"

#include <cmath>

namespace zd {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;

// |x| from above and below, within a factor sqrt 2: enough for radii, and cheap.
FloatExp upper_abs(const CFloatExp& x) { return x.maxabs() * FloatExp(kSqrt2); }
FloatExp lower_abs(const CFloatExp& x) { return x.maxabs(); }

bool fits_double(const CFloatExp& x) { return x.zero() || (x.e > -900 && x.e < 900); }

void fill_doubles(BlaStep& s) {
  s.usable_in_doubles = fits_double(s.a) && fits_double(s.b);
  s.ax = s.a.dx();
  s.ay = s.a.dy();
  s.bx = s.b.dx();
  s.by = s.b.dy();
  s.rd = (s.r / FloatExp(kSqrt2)).to_double();
  if (!s.usable_in_doubles) s.rd = 0.0;
}

BlaStep merge(const BlaStep& x, const BlaStep& y, FloatExp dc_max) {
  BlaStep s;
  s.a = y.a * x.a;
  s.b = y.a * x.b + y.b;
  FloatExp ry = (y.r - upper_abs(x.b) * dc_max) / upper_abs(x.a);
  if (x.a.zero() || !(ry > FloatExp())) ry = FloatExp();
  s.r = ry < x.r ? ry : x.r;
  return s;
}

}  // namespace

bool BlaTable::build(const Reference& ref, FloatExp dc_max, const CancelFn& cancelled) {
  levels_.clear();
  dc_max_ = dc_max;
  const int end = ref.end();
  const double near_escape = 9.0 * (1.0 - 16 * kEpsilon);
  // Level 0: single steps from m = 1 .. end - 1.
  std::vector<BlaStep> level;
  level.reserve(static_cast<size_t>(std::max(end - 1, 0)));
  const CFloatExp minus_one(-1.0, 0.0);
  for (int m = 1; m < end; ++m) {
    BlaStep s;
    const CFloatExp z = ref.z(m);
    s.a = z * FloatExp(2.0);
    s.b = minus_one;
    const double zx = ref.zx()[m], zy = ref.zy()[m];
    s.r = zx * zx + zy * zy >= near_escape ? FloatExp() : lower_abs(s.a) * FloatExp(kEpsilon);
    level.push_back(s);
  }
  for (int j = 1; level.size() >= 2; ++j) {
    if (cancelled && cancelled()) {
      levels_.clear();
      return false;
    }
    std::vector<BlaStep> next(level.size() / 2);
    for (size_t i = 0; i < next.size(); ++i) next[i] = merge(level[2 * i], level[2 * i + 1], dc_max);
    level.swap(next);
    if (j >= kMinLevel) {
      for (BlaStep& s : level) fill_doubles(s);
      levels_.push_back(level);
    }
  }
  return true;
}

size_t BlaTable::entries() const {
  size_t n = 0;
  for (const auto& l : levels_) n += l.size();
  return n;
}

}  // namespace zd
