// perturb.cpp — deep views: choosing and keeping the reference orbit, and the scalar perturbation loop.
#include "compute/perturb.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "compute/bla.h"
#include "compute/perturb_impl.h"

namespace zd {

namespace deep {

namespace {

constexpr double kSqrt2 = 1.4142135623730951;

inline double maxabs(double x, double y) { return std::max(std::fabs(x), std::fabs(y)); }

}  // namespace

// Steps of a point whose δ is far below the double range, while they are linear: |δ| < 2^-480
// beside |Z| >= 2^-420 on both sides of the step makes δ² less than 2^-61 of 2 Z δ, and
// neither an escape nor a rebase can happen (|z| is |Z| to 60 bits). Then δ = w 2^S and
// δc = c 2^S in doubles, one shared exponent, and a step is w <- 2 Z w - c, a few double
// operations instead of extended-range ones. Stops before the end of the orbit, where the
// exact step takes over, and once |δ| reaches 2^-480. Returns the count when the limit is
// reached, else -1 with *s moved on.
int Perturber::linear_run(const CFloatExp& dc, State* s, int steps) const {
  constexpr double kLinear = 0x1p-420;
  const auto big = [&](int m) { return std::max(std::fabs(Zx[m]), std::fabs(Zy[m])) >= kLinear; };
  if (s->m + 1 >= end || !big(s->m) || !big(s->m + 1)) return -1;
  std::int64_t e = s->d.zero() ? dc.e : s->d.e;
  double wx = s->d.zero() ? 0.0 : s->d.x, wy = s->d.zero() ? 0.0 : s->d.y;
  const auto scaled = [&](double v, std::int64_t k) {
    return k < -1100 ? 0.0 : std::ldexp(v, static_cast<int>(std::min<std::int64_t>(k, 1100)));
  };
  double cx = dc.zero() ? 0.0 : scaled(dc.x, dc.e - e), cy = dc.zero() ? 0.0 : scaled(dc.y, dc.e - e);
  // |w| at which |δ| reaches 2^-480; w is rescaled by 2^-64 when it passes 2^64.
  const auto limit_of = [&] { return scaled(1.0, -480 - e); };
  double wlimit = std::min(limit_of(), 0x1p64);
  int m = s->m, n = s->n;
  while (m + 1 < end && big(m) && big(m + 1)) {
    const double nx = 2.0 * (Zx[m] * wx - Zy[m] * wy) - cx;
    const double ny = 2.0 * (Zx[m] * wy + Zy[m] * wx) - cy;
    wx = nx;
    wy = ny;
    ++m;
    if (++n >= steps) return n;
    const double w = std::max(std::fabs(wx), std::fabs(wy));
    if (w >= wlimit) {
      if (w >= 0x1p64 && limit_of() > w) {  // rescale and go on
        wx *= 0x1p-64;
        wy *= 0x1p-64;
        cx *= 0x1p-64;
        cy *= 0x1p-64;
        e += 64;
        wlimit = std::min(limit_of(), 0x1p64);
        continue;
      }
      break;
    }
  }
  s->m = m;
  s->n = n;
  s->d = CFloatExp::make(wx, wy, e);
  return -1;
}

// The loop, per point:
//   δ <- 2 Z_m δ + δ² - δc, m <- m + 1; z = Z_m + δ; stop when |z|² >= 9;
//   rebase (δ <- z, m <- 0) when |z| < |δ| or m reaches the end of the stored orbit.
// Rebasing keeps δ the smaller of the two distances, so the point never needs precision that
// the reference does not give it (no glitches to detect). In doubles the step is written
// δ <- (Z_m + z) δ - δc, the same value with one operation fewer, and so in the vector loop:
// without skips the two loops agree bit for bit. (With skips a vector takes the longest skip
// that holds for all its lanes, which may be shorter than a lane's own.)
int Perturber::run(const CFloatExp& dc, State* st, int steps, bool use_bla, bool handover) const {
  State s = *st;
  const bool dc_dbl = dc_in_doubles(dc);
  const double dcx = dc.dx(), dcy = dc.dy();
  const bool skips = use_bla && bla != nullptr && !(dc.maxabs() * FloatExp(kSqrt2) > bla->dc_max());
  const FloatExp small(kSmallDelta);
  double zx = 0.0, zy = 0.0;  // Z_m + δ while in doubles
  const auto to_doubles = [&] {
    s.dbl = true;
    s.dx = s.d.dx();
    s.dy = s.d.dy();
    zx = Zx[s.m] + s.dx;
    zy = Zy[s.m] + s.dy;
  };
  if (s.dbl) {
    zx = Zx[s.m] + s.dx;
    zy = Zy[s.m] + s.dy;
  }
  for (;;) {
    if (s.dbl && handover) {
      *st = s;
      return -1;
    }
    // Advance by l steps: a skip when one is valid here, else one step.
    int l = 0;
    const BlaStep* skip = nullptr;
    if (skips && s.m >= 1) {
      const double dmax = maxabs(s.dx, s.dy);
      const FloatExp dabs = s.dbl ? FloatExp() : s.d.maxabs() * FloatExp(kSqrt2);
      for (int j = bla->min_level(); static_cast<long long>(s.n) + (1LL << j) <= steps; ++j) {
        const BlaStep* e = bla->at(j, s.m);
        if (e == nullptr) break;
        if (s.dbl ? !(dmax < e->rd) : !(dabs < e->r)) break;
        skip = e;
        l = 1 << j;
      }
    }
    if (skip != nullptr) {
      if (s.dbl && dc_dbl && skip->usable_in_doubles) {
        const double nx = (skip->ax * s.dx - skip->ay * s.dy) + (skip->bx * dcx - skip->by * dcy);
        const double ny = (skip->ax * s.dy + skip->ay * s.dx) + (skip->bx * dcy + skip->by * dcx);
        s.dx = nx;
        s.dy = ny;
      } else {
        const CFloatExp d = s.dbl ? CFloatExp(s.dx, s.dy) : s.d;
        const CFloatExp nd = skip->a * d + skip->b * dc;
        if (s.dbl) {
          s.dx = nd.dx();
          s.dy = nd.dy();
        } else {
          s.d = nd;
        }
      }
      s.m += l;
    } else if (s.dbl) {
      const double wx = Zx[s.m] + zx, wy = Zy[s.m] + zy;
      const double nx = (wx * s.dx - wy * s.dy) - dcx;
      const double ny = (wx * s.dy + wy * s.dx) - dcy;
      s.dx = nx;
      s.dy = ny;
      s.m += 1;
      l = 1;
    } else {
      if (!skips) {
        const int r = linear_run(dc, &s, steps);
        if (r >= 0) return r;
        if (!(s.d.maxabs() < small)) {
          to_doubles();
          continue;
        }
      }
      const CFloatExp z = ref->z(s.m);
      s.d = (z * s.d) * FloatExp(2.0) + s.d.sqr() - dc;
      s.m += 1;
      l = 1;
    }
    // Where the point is now.
    if (s.dbl) {
      zx = Zx[s.m] + s.dx;
      zy = Zy[s.m] + s.dy;
      const double zz = zx * zx + zy * zy;
      if (!(zz < 9.0)) return s.n + l - 1;
      s.n += l;
      if (s.n >= steps) return s.n;
      if (zz < s.dx * s.dx + s.dy * s.dy || s.m == end) {
        s.dx = zx;
        s.dy = zy;
        s.m = 0;
        if (!dc_dbl && maxabs(zx, zy) < kSmallDelta) {  // back to extended range
          s.dbl = false;
          s.d = CFloatExp(zx, zy);
        }
      }
    } else {
      const CFloatExp z = ref->z(s.m) + s.d;
      const FloatExp zz = z.norm();
      if (!(zz < FloatExp(9.0))) return s.n + l - 1;
      s.n += l;
      if (s.n >= steps) return s.n;
      if (zz < s.d.norm() || s.m == end) {
        s.d = z;
        s.m = 0;
      }
      if (!(s.d.maxabs() < small)) to_doubles();
    }
  }
}

}  // namespace deep

struct DeepKernel::Prepared {
  deep::Perturber p;
  BlaTable bla;
  int limit = 0;
  bool use_bla = false;
};

DeepKernel::DeepKernel() = default;
DeepKernel::~DeepKernel() = default;

long DeepKernel::precision_for(const DeepParams& p) {
  // Bits above the binary point of the centre, and below it down to the pitch.
  long above = 0;
  for (const BigFloat* c : {&p.cx, &p.cy}) {
    if (!c->is_zero() && c->finite()) above = std::max(above, c->ilogb() + 1);
  }
  FloatExp pitch = abs(p.sx);
  if (pitch.zero() || (!abs(p.sy).zero() && abs(p.sy) < pitch)) pitch = abs(p.sy);
  const long below = pitch.zero() || !pitch.finite() ? 53 : static_cast<long>(std::max<std::int64_t>(-pitch.e, 0));
  return 64 + above + below;
}

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// |x + iy| from above.
FloatExp upper_abs(FloatExp x, FloatExp y) {
  const FloatExp ax = abs(x), ay = abs(y);
  return (ax < ay ? ay : ax) * FloatExp(1.4142135623730951);
}

}  // namespace

// The reference. The centre's orbit is computed first, watching for the lowest period p whose
// nucleus may lie within the view's disc. Then:
// - if the centre's Z_p is already small, its first p values become a periodic reference (the
//   centre is near the nucleus: its orbit returns near 0 at p much as the nucleus's does);
// - else if the centre escapes before half the limit, so that points of the view may live far
//   longer than it, Newton's method finds the nucleus of period p within twice the view's
//   radius (about six orbits of p), whose orbit never ends: long-lived points then rebase at p
//   with small δ, and skips stay long;
// - else the centre's orbit as it is (measured: a Newton run costs more than it saves there).
// Any reference gives correct counts with rebasing; the choice is about speed and memory.
// It is kept for later pictures while the new view's precision is at least what it was
// computed with and not 192 bits less, its point lies within twice the view's radius of the
// new centre, and, when periodic, the nucleus is within 2^40 pitches of its point: panning
// and zooming keep it, and a grown limit extends it from the kept MPFR state.
bool DeepKernel::prepare(const DeepParams& p, const CancelFn& cancelled, const ProgressFn& progress) {
  const auto t0 = std::chrono::steady_clock::now();
  stats_ = DeepStats{};
  ready_.reset();
  const long needed = precision_for(p);
  const FloatExp radius = upper_abs(abs(p.sx) * FloatExp(p.umax), abs(p.sy) * FloatExp(p.vmax));
  FloatExp pitch = abs(p.sx) < abs(p.sy) ? abs(p.sx) : abs(p.sy);
  if (pitch.zero()) pitch = radius;
  const int steps = std::max(p.limit, 1);

  const auto offset_to = [&](const Reference& r) {
    return std::pair<FloatExp, FloatExp>((p.cx - r.cx()).to_floatexp(), (p.cy - r.cy()).to_floatexp());
  };
  bool reuse = false;
  if (ref_ && ref_->precision() >= needed && ref_->precision() <= needed + 192) {
    const auto [ox, oy] = offset_to(*ref_);
    reuse = !(upper_abs(ox, oy) > radius * FloatExp(2.0));
    // Rebasing at p puts Z_p + δ in δ: a Z_p that the pitch has become tiny beside would
    // swamp the points' own differences.
    if (ref_->period() > 0 && ref_->nucleus_distance() > pitch * FloatExp(0x1p40)) reuse = false;
  }
  if (reuse) {
    if (!ref_->extend(steps, cancelled, progress)) return false;
    stats_.reused = true;
    stats_.mpfr_iterations = 0;
  } else {
    const long prec = needed + 64;  // headroom: zooming in keeps it for ~400 steps of 0.9
    auto centre = std::make_unique<Reference>(p.cx, p.cy, prec);
    if (p.choose_reference) centre->watch_period(radius);
    if (!centre->extend(steps, cancelled, progress)) return false;
    long long made = centre->iterations();
    std::unique_ptr<Reference> chosen = std::move(centre);
    const int bp = chosen->ball_period();
    if (bp > 0 && chosen->z(bp).maxabs() < FloatExp(0x1p-20)) {
      // Z_p is already small: the centre is close to the nucleus, and its own first p values
      // serve as well as the nucleus's, for nothing.
      chosen->make_periodic(bp);
    } else if (bp > 0 && chosen->escaped() && chosen->end() < steps / 2) {
      // Points may live far longer than the centre: Newton's method (about six orbits of p)
      // for a reference that never ends.
      bool stopped = false;
      auto nucleus = find_nucleus(p.cx, p.cy, bp, prec, radius * FloatExp(2.0),
                                  pitch * FloatExp(0x1p-72), cancelled, progress, made, &stopped);
      if (stopped) return false;
      if (nucleus) {
        made += nucleus->iterations();
        chosen = std::move(nucleus);
      }
    }
    ref_ = std::move(chosen);
    stats_.mpfr_iterations = made;
  }
  stats_.reference_seconds = seconds_since(t0);

  auto r = std::make_unique<Prepared>();
  const auto [ox, oy] = offset_to(*ref_);
  r->p.ref = ref_.get();
  r->p.Zx = ref_->zx();
  r->p.Zy = ref_->zy();
  r->p.end = ref_->end();
  r->p.offx = ox;
  r->p.offy = oy;
  r->p.sx = p.sx;
  r->p.sy = p.sy;
  r->limit = p.limit;
  r->use_bla = p.bla;
  if (p.bla) {
    const auto t1 = std::chrono::steady_clock::now();
    if (!r->bla.build(*ref_, upper_abs(ox, oy) + radius, cancelled)) return false;
    r->p.bla = &r->bla;
    stats_.bla_seconds = seconds_since(t1);
    stats_.bla_entries = r->bla.entries();
  }
  stats_.precision = ref_->precision();
  stats_.reference_length = ref_->end() + 1;
  stats_.period = ref_->period();
  ready_ = std::move(r);
  return true;
}

int DeepKernel::count_one(double u, double v) const {
  deep::State s;
  s.dbl = deep::Perturber::dc_in_doubles(ready_->p.dc(u, v));
  return ready_->p.run(ready_->p.dc(u, v), &s, std::max(ready_->limit, 1), ready_->use_bla, false);
}

void DeepKernel::count(CountJob& job) const {
  const deep::Perturber& p = ready_->p;
  if (!scalar_only_) {
    deep::count_lanes(p, job);
    return;
  }
  const int steps = std::max(job.limit, 1);
  for (;;) {
    const int first = job.next.fetch_add(16, std::memory_order_relaxed);
    if (first >= job.n) return;
    for (int i = first; i < std::min(first + 16, job.n); ++i) {
      const CFloatExp dc = p.dc(job.cx[i], job.cy[i]);
      deep::State s;
      s.dbl = deep::Perturber::dc_in_doubles(dc);
      job.out[i] = p.run(dc, &s, steps, ready_->use_bla, false);
    }
  }
}

}  // namespace zd
