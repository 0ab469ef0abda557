// perturb_impl.h — what the perturbation loops share (not part of the interface).
#pragma once
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <vector>

#include "compute/bigfloat.h"
#include "compute/bla.h"
#include "compute/counts.h"
#include "compute/floatexp.h"
#include "compute/reference.h"

namespace zd::deep {

// |δ| below this (and |δc| below kSmallDc) is held in extended range: in doubles, δ² would fall
// below 2^-960 and could underflow. Above it every term of a step that matters is a normal
// double, or below 2^-60 of one that is.
constexpr double kSmallDelta = 0x1p-480;
// A point whose |δc| is at least this (or zero) runs in doubles from its first step: δc itself
// and everything that matters beside it are then normal doubles.
constexpr double kSmallDc = 0x1p-960;
// A count that was abandoned (the job's stop).
constexpr int kStopped = -2;
// Perturber::chain: the point goes back to extended range.
constexpr int kExtended = -3;
// Perturber::linear_run: more to do, after a look at the stop.
constexpr int kMore = -4;
// Steps between two looks at the stop flag in the loops of one point.
constexpr int kStopCheck = 1 << 14;

// A count computed in doubles is in doubt when |dz/dc| |δc| at its end exceeds this: the
// rounding of every step, some 2^-53 |δc| in c, then moves z by more than the count can bear
// (measured on whole pictures of the test views: nearly every count that disagreed with MPFR
// iteration had 1e12 or more, and under 1 % of all counts do). Such a point is counted again
// in double-double (Perturber::recount).
constexpr double kDoubt = 1e12;
// The same for a point that took skips: each neglects up to BlaTable::kEpsilon of a step
// instead of the 2^-53 of its rounding. Such a point is counted again without skips, and that
// count is checked with kDoubt.
constexpr double kDoubtSkipped = kDoubt * (0x1p-53 / BlaTable::kEpsilon);

// Where a point stands between two steps: n steps counted, reference index m, δ and the
// derivative D = dz/dc times the pitch in doubles when `dbl`, else in `d` and `dd`.
struct State {
  int n = 0, m = 0;
  bool dbl = false;
  bool skipped = false;  // took a skip
  double dx = 0.0, dy = 0.0, ddx = 0.0, ddy = 0.0;
  CFloatExp d, dd;
};

// The skips usable in doubles, one array per coefficient so that the vector loop can gather
// each lane's own: level j's skip from m = 1 + i 2^j is entry first[j] + i. Entries whose
// coefficients leave the double range have rd = 0 and are never taken in doubles.
//
// A skip from m is taken for max(|δ|, reach[i]) (m = 1 + i 2^min_level), not |δ| alone: reach
// bounds |δ| at m of every point that has followed the reference from its start, 2 |dZ_m/dc|
// |δc|max, so that such points, and the lanes that hold them, take the same skips at the same
// indices and stay together (a skip for the larger value holds for the smaller).
struct FlatSkips {
  std::vector<double> ax, ay, bx, by, rd, reach;
  int min_level = 0, max_level = -1;  // none when max_level < min_level
  double rd_max = 0.0;                // the largest rd
  std::vector<std::int64_t> first, size;  // per level j, indexed j - min_level
  void build(const BlaTable& t, const Reference& ref, int end);
  // What a point with max(|Re δ|, |Im δ|) = dmax at index m (on the grid) tests skips with.
  double test(double dmax, std::int64_t m) const {
    const double r = reach[static_cast<std::size_t>((m - 1) >> min_level)];
    return dmax > r ? dmax : r;
  }
};

// Everything a count needs, read-only while threads count.
//
// A point's count is a function of its δc and of this object alone: every decision (skip or
// step, which skip, rebase, extended range or doubles) is taken from the point's own state, so
// the vector lanes, the one-lane path and any grouping of points into batches give the same
// counts bit for bit.
struct Perturber {
  const Reference* ref = nullptr;
  const double* Zx = nullptr;  // the reference orbit as doubles
  const double* Zy = nullptr;
  int end = 0;                    // last stored reference index
  const BlaTable* bla = nullptr;  // nullptr: no skips
  FlatSkips flat;                 // bla's skips for points in doubles
  FloatExp offx, offy;            // centre - reference point
  FloatExp sx, sy;
  BigFloat offx_exact{64}, offy_exact{64};
  // The pixel pitch the derivative is measured in, and as a double (0 below the double range).
  FloatExp pitch;
  double pitch_d = 0.0;

  CFloatExp dc(double u, double v) const { return CFloatExp(offx + FloatExp(u) * sx, offy + FloatExp(v) * sy); }

  // What a lane needs of the point at walk coordinates (u, v).
  struct Point {
    double dcx, dcy;  // δc as doubles
    bool low;         // δc below the double range: tiny δ are held in extended range
    bool skips;       // skips_for(δc)
    double pixels;    // |δc| / pitch, for the doubt (checked())
  };
  Point point(double u, double v) const {
    Point q;
    if (in_doubles) {
      // The same operations as dc() and the tests below, in doubles: every value is normal here,
      // and FloatExp rounds as doubles do.
      q.dcx = offx_d + u * sx_d;
      q.dcy = offy_d + v * sy_d;
      const double big = std::max(std::fabs(q.dcx), std::fabs(q.dcy));
      q.low = false;
      q.skips = bla != nullptr && !(big * 1.4142135623730951 > dc_max_d);
      q.pixels = big / pitch_d;
      return q;
    }
    const CFloatExp c = dc(u, v);
    q.dcx = c.dx();
    q.dcy = c.dy();
    q.low = !dc_in_doubles(c);
    q.skips = skips_for(c);
    q.pixels = (c.maxabs() / pitch).to_double();
    return q;
  }
  // The reference point as doubles (a point's c is near it plus δc).
  double ref_x = 0.0, ref_y = 0.0;
  // Set by prepare: the view's offsets, pitch and bound on |δc| are normal doubles (exponents
  // within +-900), so that point() may compute in doubles.
  bool in_doubles = false;
  double offx_d = 0.0, offy_d = 0.0, sx_d = 0.0, sy_d = 0.0, dc_max_d = 0.0;
  static bool dc_in_doubles(const CFloatExp& dc) { return dc.zero() || !(dc.maxabs() < FloatExp(kSmallDc)); }
  // Whether a point may take skips: there is a table, and its bound on |δc| holds the point's.
  bool skips_for(const CFloatExp& dc) const {
    return bla != nullptr && !(dc.maxabs() * FloatExp(1.4142135623730951) > bla->dc_max());
  }

  // The extended-range part of a point's life: runs it from *s (not in doubles) until its δ is
  // large enough for doubles (then -1, with *s in doubles), or it escapes or reaches `steps`
  // (max(limit, 1)) steps (its count), or `job` says stop (kStopped).
  int run_extended(const CFloatExp& dc, State* s, int steps, const CountJob* job, bool skips = true) const;
  int linear_run(const CFloatExp& dc, State* s, int steps) const;
  // The scalar part of a point's life from state s, at its start, after a rebase or on its way
  // back from extended range: extended range while its δ is tiny, then a chain of skips
  // (chain()). Returns -1 when the point goes on in the vector loop (s in doubles, at a step
  // where no skip holds), else its count (or kStopped).
  int resume(const Point& q, double u, double v, State& s, int steps, const CountJob* job) const;
  // Skips and the steps between them, in doubles, as long as a skip holds at each index of the
  // shortest skips' grid: the vector loop's operations, one point at a time. Returns -1 (go on
  // in the vector loop), the count, or kExtended (s is then in extended range).
  // `plain`: no skips at all, and no return to the vector loop (plain()).
  int chain(const Point& q, State& s, int steps, const CountJob* job, bool plain = false) const;
  // A point's whole life without skips, one point at a time (its count, kStopped; s its end).
  int plain(const Point& q, double u, double v, int steps, const CountJob* job, State& s) const;
  // The count n that a point's life ended with in state s, or its count again where it is in
  // doubt: without skips where skips it took may have moved it, in double-double where the
  // rounding of doubles may have.
  // What a point's life ended with: its count (or kStopped), z there and dz/dc times the pitch.
  struct Outcome {
    int n = kStopped;
    double zx = 0.0, zy = 0.0, dx = 0.0, dy = 0.0;
    double dz() const { return std::sqrt(dx * dx + dy * dy); }
  };
  // The outcome of a count n that ended in state s.
  Outcome outcome(int n, const State& s) const;
  // pixels: the point's Point::pixels; skipped: it took skips.
  Outcome checked(double pixels, double u, double v, Outcome o, bool skipped, int steps,
                  const CountJob* job) const;
  // At index 0 with δ = z (a point's start, z = 0, or a rebase), after n steps: whether a chain
  // starts, that is whether the point may take skips and the shortest skip from index 1 holds
  // after the next step (which gives δ = z² - δc, computed as the step computes it). The vector
  // loop asks the same, lane by lane.
  bool chains_after(const Point& q, double zx, double zy, int n, int steps) const {
    if (!q.skips || flat.size.empty() || flat.size[0] == 0) return false;
    if (n + 1 + (std::int64_t{1} << flat.min_level) > steps) return false;
    const double x = (zx * zx - zy * zy) - q.dcx, y = (zx * zy + zy * zx) - q.dcy;
    return std::max(std::fabs(x), std::fabs(y)) < flat.rd[0];
  }
  // Asked by the loops of one point every kStopCheck steps: polls for the job's caller, then
  // whether the job is to stop.
  static bool halted(const CountJob* job) {
    if (job == nullptr) return false;
    if (job->poll) job->poll();
    return job->stopped();
  }
  // The count of the point at walk coordinates (u, v) in more precision than doubles give;
  // kStopped if `job` says stop.
  // The outcome's derivative is left to the caller.
  Outcome recount(double u, double v, int steps, const CountJob* job) const;
  // Points counted again so far, in double-double and without skips.
  mutable std::atomic<long long> recounted{0}, unskipped{0};
};

// The loop in doubles on the best target (counts.h's choice): every point of job, in walk
// coordinates. `one_lane`: vectors of one lane (the same counts; for tests and single points).
void count_lanes(const Perturber& p, CountJob& job, bool one_lane);

}  // namespace zd::deep
