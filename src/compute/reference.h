// reference.h — the reference orbit of a deep view, Z_{n+1} = Z_n^2 - C in MPFR, kept compactly.
#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "compute/bigfloat.h"
#include "compute/floatexp.h"

namespace zd {

// Asked every few hundred iterations: true abandons the computation.
using CancelFn = std::function<bool()>;
// Told the iterations made so far in the current preparation.
using ProgressFn = std::function<void(long long)>;

// The orbit Z_0 = 0, Z_{m+1} = Z_m^2 - C of a point C, computed at a fixed precision and stored
// as doubles (with exact extended-range copies of the rare values too small for a double, which
// orbits meet near nuclei at extreme depth). It grows on demand from the kept MPFR state, up to
// kMaxLength stored values, and ends where |Z|^2 >= 9 (that last value is stored too). Along
// the way it tracks the derivative D_m = dZ_m/dC, for Newton's method and for finding the
// period of the lowest-period nucleus near C.
class Reference {
 public:
  // Bound on the stored values: 2^22 (64 MiB of doubles). Pixels that reach the end rebase.
  static constexpr int kMaxLength = 1 << 22;
  // Values whose larger part is below this are kept in extended range as well.
  static constexpr double kTiny = 0x1p-1000;

  Reference(const BigFloat& cx, const BigFloat& cy, long precision);

  // Computes the orbit up to Z_until (at most kMaxLength, stopping where it escapes), polling
  // `cancelled` every 256 iterations and telling `progress` base + iterations made. False if
  // cancelled: what was computed stays valid and can be extended later.
  bool extend(int until, const CancelFn& cancelled = {}, const ProgressFn& progress = {},
              long long base = 0);

  // Makes the first p values the whole orbit, to be repeated: pixels rebase at p, which is
  // exact whatever Z_p is, and keeps their δ small when Z_p is (nearly) 0, as at a nucleus of
  // period p. Needs p == end() or p == ball_period().
  void make_periodic(int p);
  // A periodic reference of this orbit's first p values (p == ball_period() <= end()), this one
  // left as it is.
  std::unique_ptr<Reference> periodic_prefix(int p) const;
  // For a periodic orbit, |Z_p / D_p| from above: how far C is from the nucleus, to first order.
  FloatExp nucleus_distance() const { return nucleus_distance_; }

  // From now on extend() records the first m with |Z_m| < |D_m| * radius: the disc of that
  // radius around C then holds, to first order, a point whose orbit returns to 0 at step m,
  // the nucleus of the lowest period near C.
  void watch_period(FloatExp radius);
  int ball_period() const { return ball_period_; }  // 0 when none seen

  const BigFloat& cx() const { return cx_; }
  const BigFloat& cy() const { return cy_; }
  long precision() const { return cx_.precision(); }
  int end() const { return static_cast<int>(zx_.size()) - 1; }  // Z_0 .. Z_end are stored
  bool escaped() const { return escaped_; }
  int period() const { return period_; }
  // Nothing more can be computed: escaped, periodic or at kMaxLength.
  bool complete() const { return escaped_ || period_ > 0 || end() >= kMaxLength; }
  // Z_m as doubles (rounded; subnormal or 0 where the value is tiny), m <= end().
  const double* zx() const { return zx_.data(); }
  const double* zy() const { return zy_.data(); }
  // What Z_m - zx()[m] rounds to as a double: with zx() a double-double of Z_m (0 for tiny values).
  const double* zx_low() const { return zxl_.data(); }
  const double* zy_low() const { return zyl_.data(); }
  // Z_m in extended range.
  CFloatExp z(int m) const;
  // D_end = dZ_end/dC.
  CFloatExp derivative() const { return d_; }
  // MPFR iterations made by this object.
  long long iterations() const { return iterations_; }

 private:
  BigFloat cx_, cy_, x_, y_, t_, u_;
  std::vector<double> zx_, zy_, zxl_, zyl_;
  std::vector<int> tiny_at_;  // ascending indices of tiny values
  std::vector<CFloatExp> tiny_z_;
  CFloatExp d_, ball_d_;  // D_end, D at ball_period_
  FloatExp ball_radius_, nucleus_distance_;
  bool watching_ = false, escaped_ = false;
  int ball_period_ = 0, period_ = 0;
  long long iterations_ = 0;
};

// Newton's method for the nucleus of period p (Z_p(c) = 0) from the start c0 = (cx, cy), at the
// given precision. It stops when a correction is below `tolerance` and gives that nucleus's
// periodic orbit, or nothing when the orbit escapes before p, an iterate strays farther than
// `reach` from c0, it does not converge in `steps` steps, or it is cancelled (then *cancelled is
// set). The derivative is carried in doubles with a wide exponent, not in MPFR: each step
// then costs one orbit, and still gains about 40 bits.
std::unique_ptr<Reference> find_nucleus(const BigFloat& cx, const BigFloat& cy, int p,
                                        long precision, FloatExp reach, FloatExp tolerance,
                                        const CancelFn& cancel, const ProgressFn& progress,
                                        long long base, bool* cancelled, int steps = 24);

}  // namespace zd
