// bla.h — merged linear steps over a reference orbit (bivariate linear approximation).
#pragma once
#include <vector>

#include "compute/floatexp.h"
#include "compute/reference.h"

namespace zd {

// While |δ| stays small beside |Z|, a perturbation step δ <- 2 Z_m δ + δ² - δc is linear:
// δ <- A δ + B δc with A = 2 Z_m, B = -1. Runs of such steps compose into one linear map, so a
// point can skip 2^j steps at once. Each skip holds while |δ| < r at its start.
struct BlaStep {
  CFloatExp a, b;  // δ_{m+l} = a δ_m + b δc
  FloatExp r;      // valid while |δ_m| < r (and |δc| <= the table's bound)
  // The same in doubles for points whose δ is held in doubles: rd is r / sqrt 2, compared with
  // max(|Re δ|, |Im δ|); usable_in_doubles says whether a and b fit a double's range.
  double ax, ay, bx, by, rd;
  bool usable_in_doubles;
};

// Skips of 2^j steps (j >= min_level()) starting at m = 1 + i 2^j, merged from single steps.
// Index 0 has none: there Z = 0 and the step is δ² - δc, not linear in δ. The validity radius
// of one step is ε |2 Z_m|: there the neglected δ² is at most ε times the kept 2 Z_m δ. ε is
// 2^13 times a double's rounding: a count that this may change (one with a large |dz/dc|) is
// counted again without skips (perturb_impl.h), and skips still cover the linear stretches of
// views just past the doubles' reach, where |δ| is near 2^-50 of |Z|.
// Merging x (first) and y: a = a_y a_x, b = a_y b_x + b_y,
// r = min(r_x, max(0, (r_y - |b_x| δc_max) / |a_x|)), so that every step inside a skip meets
// its own condition for every point with |δc| <= δc_max. Steps that start where |Z| is close to
// the escape radius are not merged, so a skip never passes over an escape. The shortest skips
// are 8 steps (shorter ones save too little for their memory), longer for orbits beyond 2^20
// values so that the table stays within about 2^19 entries (56 MiB).
class BlaTable {
 public:
  static constexpr int kMinLevel = 3;
  static constexpr double kEpsilon = 0x1p-40;

  // Skips over the orbit's values up to Z_end (end <= ref.end()). False if cancelled (the table
  // is then empty).
  bool build(const Reference& ref, int end, FloatExp dc_max, const CancelFn& cancelled = {});
  void clear() { levels_.clear(); }

  FloatExp dc_max() const { return dc_max_; }
  int min_level() const { return min_level_; }
  int levels() const { return static_cast<int>(levels_.size()) + min_level_ - 1; }
  // The skip of 2^j steps from m, or nullptr when there is none (m - 1 not a multiple of 2^j,
  // or the skip would pass the end of the orbit).
  const BlaStep* at(int j, int m) const {
    if (m < 1 || j < min_level_ || j > levels()) return nullptr;
    const int k = m - 1;
    if ((k & ((1 << j) - 1)) != 0) return nullptr;
    const std::vector<BlaStep>& level = levels_[j - min_level_];
    const size_t i = static_cast<size_t>(k >> j);
    return i < level.size() ? &level[i] : nullptr;
  }
  size_t entries() const;

 private:
  std::vector<std::vector<BlaStep>> levels_;
  FloatExp dc_max_;
  int min_level_ = kMinLevel;
};

}  // namespace zd
