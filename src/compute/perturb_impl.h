// perturb_impl.h — what the scalar and vector perturbation loops share (not part of the interface).
#pragma once
#include <cstdint>

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

// Where a point stands between two steps: n steps counted, reference index m, δ in doubles when
// `dbl`, else in `d`.
struct State {
  int n = 0, m = 0;
  bool dbl = false;
  double dx = 0.0, dy = 0.0;
  CFloatExp d;
};

// Everything a count needs, read-only while threads count.
struct Perturber {
  const Reference* ref = nullptr;
  const double* Zx = nullptr;  // the reference orbit as doubles
  const double* Zy = nullptr;
  int end = 0;                   // last stored reference index
  const BlaTable* bla = nullptr;  // nullptr: no skips
  FloatExp offx, offy;           // centre - reference point
  FloatExp sx, sy;

  CFloatExp dc(double u, double v) const { return CFloatExp(offx + FloatExp(u) * sx, offy + FloatExp(v) * sy); }
  static bool dc_in_doubles(const CFloatExp& dc) { return dc.zero() || !(dc.maxabs() < FloatExp(kSmallDc)); }
  // Whether a point may take skips while its δ is in doubles: there is a table, its bound on
  // |δc| holds the point's, and δc is a double.
  bool skips_for(const CFloatExp& dc) const {
    return bla != nullptr && dc_in_doubles(dc) && !(dc.maxabs() * FloatExp(1.4142135623730951) > bla->dc_max());
  }

  // Runs a point from state s until it escapes or reaches `steps` (max(limit, 1)) steps, and
  // returns its count. With `handover`, stops instead as soon as the point runs in doubles and
  // returns -1 with *s holding its state, for the vector loop (which has no skips).
  int run(const CFloatExp& dc, State* s, int steps, bool use_bla, bool handover) const;
  int linear_run(const CFloatExp& dc, State* s, int steps) const;
};

// The vector loop on the best target (counts.h's choice): every point of job, in walk
// coordinates, with skips when p.bla is set.
void count_lanes(const Perturber& p, CountJob& job);

}  // namespace zd::deep
