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

bool BlaTable::build(const Reference& ref, int end, FloatExp dc_max, const CancelFn& cancelled) {
  levels_.clear();
  dc_max_ = dc_max;
  min_level_ = kMinLevel;
  while ((end >> min_level_) > (1 << 18)) ++min_level_;
  const double near_escape = 9.0 * (1.0 - 16 * kEpsilon);
  const CFloatExp minus_one(-1.0, 0.0);
  const auto single = [&](int m) {
    BlaStep s;
    s.a = ref.z(m) * FloatExp(2.0);
    s.b = minus_one;
    const double zx = ref.zx()[m], zy = ref.zy()[m];
    s.r = zx * zx + zy * zy >= near_escape ? FloatExp() : lower_abs(s.a) * FloatExp(kEpsilon);
    return s;
  };
  // The shortest skips straight from their single steps, one after another: no level below
  // is kept, even for a while.
  const int first = 1 << min_level_;
  std::vector<BlaStep> level;
  level.reserve(static_cast<size_t>(std::max(end - 1, 0) / first));
  for (int m = 1; m + first <= end; m += first) {
    if ((m & 0xffff) == 1 && cancelled && cancelled()) {
      levels_.clear();
      return false;
    }
    BlaStep s = single(m);
    for (int i = 1; i < first; ++i) s = merge(s, single(m + i), dc_max);
    fill_doubles(s);
    level.push_back(s);
  }
  while (!level.empty()) {
    levels_.push_back(level);
    if (cancelled && cancelled()) {
      levels_.clear();
      return false;
    }
    std::vector<BlaStep> next(level.size() / 2);
    for (size_t i = 0; i < next.size(); ++i) {
      next[i] = merge(level[2 * i], level[2 * i + 1], dc_max);
      fill_doubles(next[i]);
    }
    level.swap(next);
  }
  return true;
}

size_t BlaTable::entries() const {
  size_t n = 0;
  for (const auto& l : levels_) n += l.size();
  return n;
}

}  // namespace zd
