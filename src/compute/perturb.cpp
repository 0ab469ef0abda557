// perturb.cpp — deep views: the reference orbit for a view, and a point's extended-range steps.
#include "compute/perturb.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "compute/bla.h"
#include "compute/ddexp.h"
#include "compute/perturb_impl.h"

namespace zd {

namespace deep {

// Steps of a point whose δ is far below the double range, while they are linear: |δ| < 2^-480
// beside |Z| >= 2^-420 on both sides of the step makes δ² less than 2^-61 of 2 Z δ, and
// neither an escape nor a rebase can happen (|z| is |Z| to 60 bits). Then δ = w 2^S and
// δc = c 2^S in doubles, one shared exponent, and a step is w <- 2 Z w - c, a few double
// operations instead of extended-range ones. Stops before the end of the orbit, where the
// exact step takes over, and once |δ| reaches 2^-480 (then -1), or after kStopCheck steps (then
// kMore). Returns the count when the limit is reached; *s has moved on.
int Perturber::linear_run(const CFloatExp& dc, State* s, int steps) const {
  constexpr double kLinear = 0x1p-420;
  const auto big = [&](int m) { return std::max(std::fabs(Zx[m]), std::fabs(Zy[m])) >= kLinear; };
  if (s->m + 1 >= end || !big(s->m) || !big(s->m + 1)) return -1;
  const auto scaled = [&](double v, std::int64_t k) {
    return k < -1100 ? 0.0 : std::ldexp(v, static_cast<int>(std::min<std::int64_t>(k, 1100)));
  };
  std::int64_t e = s->d.zero() ? dc.e : s->d.e;
  double wx = s->d.zero() ? 0.0 : s->d.x, wy = s->d.zero() ? 0.0 : s->d.y;
  double cx = dc.zero() ? 0.0 : scaled(dc.x, dc.e - e), cy = dc.zero() ? 0.0 : scaled(dc.y, dc.e - e);
  // The derivative the same way, D = q 2^f: q <- 2 Z q - pitch 2^-f.
  std::int64_t f = s->dd.zero() ? pitch.e : s->dd.e;
  double qx = s->dd.zero() ? 0.0 : s->dd.x, qy = s->dd.zero() ? 0.0 : s->dd.y;
  double pq = pitch.zero() ? 0.0 : scaled(pitch.m, pitch.e - f);
  // |w| at which |δ| reaches 2^-480; w is rescaled by 2^-64 when it passes 2^64.
  const auto limit_of = [&] { return scaled(1.0, -480 - e); };
  double wlimit = std::min(limit_of(), 0x1p64);
  int m = s->m, n = s->n;
  bool ended = false;
  // At most kStopCheck steps a call, so that the caller looks at its stop between them.
  int budget = kStopCheck;
  for (; m + 1 < end && big(m) && big(m + 1) && budget > 0; --budget) {
    const double nx = 2.0 * (Zx[m] * wx - Zy[m] * wy) - cx;
    const double ny = 2.0 * (Zx[m] * wy + Zy[m] * wx) - cy;
    const double mx = 2.0 * (Zx[m] * qx - Zy[m] * qy) - pq;
    const double my = 2.0 * (Zx[m] * qy + Zy[m] * qx);
    wx = nx;
    wy = ny;
    qx = mx;
    qy = my;
    ++m;
    if (std::max(std::fabs(qx), std::fabs(qy)) >= 0x1p64) {
      qx *= 0x1p-64;
      qy *= 0x1p-64;
      pq *= 0x1p-64;
      f += 64;
    }
    if (++n >= steps) {
      ended = true;
      break;
    }
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
  s->dd = CFloatExp::make(qx, qy, f);
  return ended ? n : budget == 0 ? kMore : -1;
}

// The extended-range part of a point's life, while |δ| < 2^-480 (so that δ² would underflow in
// doubles): the loop below in extended range, with skips where they hold or runs of linear steps
// in scaled doubles. Per step:
//   δ <- 2 Z_m δ + δ² - δc, m <- m + 1; z = Z_m + δ; stop when |z|² >= 9;
//   rebase (δ <- z, m <- 0) when |z| < |δ| or m reaches the end of the stored orbit.
// Rebasing keeps δ the smaller of the two distances, so the point never needs precision that the
// reference does not give it (no glitches to detect).
int Perturber::run_extended(const CFloatExp& dc, State* st, int steps, const CountJob* job, bool use_skips) const {
  State s = *st;
  const bool skips = use_skips && skips_for(dc);
  const FloatExp small(kSmallDelta);
  int check = s.n + kStopCheck;
  const auto done = [&](int n) {
    *st = s;
    return n;
  };
  for (;;) {
    if (!(s.d.maxabs() < small)) {
      s.dbl = true;
      s.dx = s.d.dx();
      s.dy = s.d.dy();
      s.ddx = s.dd.dx();
      s.ddy = s.dd.dy();
      return done(-1);
    }
    if (s.n >= check) {
      check = s.n + kStopCheck;
      if (halted(job)) return kStopped;
    }
    // Advance by l steps: the longest skip that holds here, else one step.
    int l = 0;
    const BlaStep* skip = nullptr;
    if (skips && s.m >= 1) {
      const FloatExp dabs = s.d.maxabs() * FloatExp(1.4142135623730951);
      for (int j = bla->min_level(); static_cast<long long>(s.n) + (1LL << j) <= steps; ++j) {
        const BlaStep* e = bla->at(j, s.m);
        if (e == nullptr || !(dabs < e->r)) break;
        skip = e;
        l = 1 << j;
      }
    }
    if (skip != nullptr) {
      s.skipped = true;
      s.d = skip->a * s.d + skip->b * dc;
      s.dd = skip->a * s.dd + skip->b * pitch;
      s.m += l;
    } else {
      if (!skips) {
        const int r = linear_run(dc, &s, steps);
        if (r >= 0) return done(r);
        if (r == kMore || !(s.d.maxabs() < small)) continue;
      }
      const CFloatExp z = ref->z(s.m);
      s.dd = ((z + s.d) * s.dd) * FloatExp(2.0) - CFloatExp(pitch, FloatExp());
      s.d = (z * s.d) * FloatExp(2.0) + s.d.sqr() - dc;
      s.m += 1;
      l = 1;
    }
    const CFloatExp z = ref->z(s.m) + s.d;
    const FloatExp zz = z.norm();
    if (!(zz < FloatExp(9.0))) return done(s.n + l - 1);
    s.n += l;
    if (s.n >= steps) return done(s.n);
    if (zz < s.d.norm() || s.m == end) {
      s.d = z;
      s.m = 0;
    }
  }
}

int Perturber::resume(const Point& q, double u, double v, State& s, int steps, const CountJob* job) const {
  for (;;) {
    if (!s.dbl) {
      const int r = run_extended(dc(u, v), &s, steps, job);
      if (r != -1) return r;
    }
    if (s.m == 0 ? !chains_after(q, s.dx, s.dy, s.n, steps) : !q.skips) return -1;
    const int r = chain(q, s, steps, job);
    if (r != kExtended) return r;
  }
}

int Perturber::chain(const Point& q, State& s, int steps, const CountJob* job, bool plain) const {
  const FlatSkips& f = flat;
  const std::int64_t grid = (std::int64_t{1} << f.min_level) - 1;
  const double* rd = f.rd.data();
  const std::int64_t* first = f.first.data();
  const std::int64_t* size = f.size.data();
  int m = s.m, n = s.n;
  double dx = s.dx, dy = s.dy, ddx = s.ddx, ddy = s.ddy;
  double zx = Zx[m] + dx, zy = Zy[m] + dy;
  int check = n + kStopCheck;
  const auto leave = [&](int r) {
    s.m = m;
    s.n = n;
    s.dx = dx;
    s.dy = dy;
    s.ddx = ddx;
    s.ddy = ddy;
    s.dbl = true;
    return r;
  };
  for (;;) {
    if (n >= check) {
      check = n + kStopCheck;
      if (halted(job)) return kStopped;
    }
    // The longest skip from here, on the grid; between grid points, steps.
    std::int64_t at = -1;
    int l = 1;
    if (!plain && m >= 1 && ((m - 1) & grid) == 0) {
      // The skips that hold are those of the lowest levels up to the first that does not (radii
      // shrink with the length), so the longest is found without a branch per level.
      const double dmax = f.test(std::max(std::fabs(dx), std::fabs(dy)), m);
      const std::int64_t k = m - 1, room = steps - n;
      bool holds = true;
      for (int j = f.min_level; j <= f.max_level; ++j) {
        const std::int64_t span = std::int64_t{1} << j;
        const size_t level = static_cast<size_t>(j - f.min_level);
        const std::int64_t i = k >> j;
        const bool there = (k & (span - 1)) == 0 && span <= room && i < size[level];
        const std::int64_t e = there ? first[level] + i : 0;
        holds = holds && there && dmax < rd[e];
        at = holds ? e : at;
        l = holds ? static_cast<int>(span) : l;
      }
      if (at < 0) return leave(-1);
    }
    double nx, ny, mx, my;
    if (at >= 0) {
      s.skipped = true;
      const double ax = f.ax[at], ay = f.ay[at], bx = f.bx[at], by = f.by[at];
      nx = (ax * dx - ay * dy) + (bx * q.dcx - by * q.dcy);
      ny = (ax * dy + ay * dx) + (bx * q.dcy + by * q.dcx);
      mx = (ax * ddx - ay * ddy) + bx * pitch_d;
      my = (ax * ddy + ay * ddx) + by * pitch_d;
    } else {
      const double wx = Zx[m] + zx, wy = Zy[m] + zy;
      nx = (wx * dx - wy * dy) - q.dcx;
      ny = (wx * dy + wy * dx) - q.dcy;
      mx = 2.0 * (zx * ddx - zy * ddy) - pitch_d;
      my = 2.0 * (zx * ddy + zy * ddx);
    }
    m += l;
    n += l;
    zx = Zx[m] + nx;
    zy = Zy[m] + ny;
    dx = nx;
    dy = ny;
    ddx = mx;
    ddy = my;
    const double zz = zx * zx + zy * zy, dd = nx * nx + ny * ny;
    if (!(zz < 9.0)) return leave(n - 1);
    if (n >= steps) return leave(n);
    if (zz < dd || m == end) {
      if (q.low && std::fabs(zx) < kSmallDelta && std::fabs(zy) < kSmallDelta) {
        leave(0);
        s.m = 0;
        s.dbl = false;
        s.d = CFloatExp(zx, zy);
        s.dd = CFloatExp(ddx, ddy);
        return kExtended;
      }
      dx = zx;
      dy = zy;
      m = 0;
      if (!plain && !chains_after(q, zx, zy, n, steps)) return leave(-1);
    }
  }
}

int Perturber::plain(const Point& q, double u, double v, int steps, const CountJob* job, State& s) const {
  s = State{};
  s.dbl = !q.low;
  for (;;) {
    if (!s.dbl) {
      const int r = run_extended(dc(u, v), &s, steps, job, false);
      if (r != -1) return r;
    }
    const int r = chain(q, s, steps, job, true);
    if (r != kExtended) return r;
  }
}

Perturber::Outcome Perturber::outcome(int n, const State& s) const {
  Outcome o;
  o.n = n;
  if (n < 0) return o;
  if (s.dbl) {
    o.zx = Zx[s.m] + s.dx;
    o.zy = Zy[s.m] + s.dy;
    o.dx = s.ddx;
    o.dy = s.ddy;
  } else {
    const CFloatExp z = ref->z(s.m) + s.d;
    o.zx = z.dx();
    o.zy = z.dy();
    o.dx = s.dd.dx();
    o.dy = s.dd.dy();
  }
  return o;
}

Perturber::Outcome Perturber::checked(double pixels, double u, double v, Outcome o, bool skipped, int steps,
                                      const CountJob* job) const {
  if (o.n < 0) return o;
  if (skipped) {
    if (!(pixels * o.dz() > kDoubtSkipped)) return o;
    unskipped.fetch_add(1, std::memory_order_relaxed);
    State e;
    const Point q = point(u, v);
    o = outcome(plain(q, u, v, steps, job, e), e);
    if (o.n < 0) return o;
  }
  if (!(pixels * o.dz() > kDoubt)) return o;
  const double dx = o.dx, dy = o.dy;
  o = recount(u, v, steps, job);
  o.dx = dx;
  o.dy = dy;
  return o;
}

namespace {

// x + iy to about 106 bits.
CDDExp dd_of(const BigFloat& x, const BigFloat& y) {
  const auto parts = [](const BigFloat& v, FloatExp& hi, FloatExp& lo) {
    hi = v.to_floatexp();
    lo = (v - BigFloat(hi, 64)).to_floatexp();
  };
  FloatExp xh, xl, yh, yl;
  parts(x, xh, xl);
  parts(y, yh, yl);
  if (xh.zero() && yh.zero()) return CDDExp();
  const std::int64_t e = xh.zero() ? yh.e : yh.zero() ? xh.e : std::max(xh.e, yh.e);
  const auto at = [&](FloatExp f) { return f.zero() || f.e - e < -1100 ? 0.0 : std::ldexp(f.m, static_cast<int>(f.e - e)); };
  return CDDExp::make({at(xh), at(xl)}, {at(yh), at(yl)}, e);
}

}  // namespace

// The loop without skips, in double-double: the rounding that decides these counts in doubles is
// 2^53 times smaller here.
Perturber::Outcome Perturber::recount(double u, double v, int steps, const CountJob* job) const {
  recounted.fetch_add(1, std::memory_order_relaxed);
  Outcome o;
  const CDDExp dc = dd_of(offx_exact + BigFloat(FloatExp(u) * sx, 64), offy_exact + BigFloat(FloatExp(v) * sy, 64));
  const double* zxl = ref->zx_low();
  const double* zyl = ref->zy_low();
  const auto Z = [&](int m) {
    const double x = Zx[m], y = Zy[m];
    if (std::max(std::fabs(x), std::fabs(y)) < Reference::kTiny) return CDDExp::of(ref->z(m));
    return CDDExp::make({x, zxl[m]}, {y, zyl[m]}, 0);
  };
  CDDExp d;
  int m = 0, n = 0;
  for (;;) {
    if ((n & (kStopCheck - 1)) == kStopCheck - 1 && halted(job)) return o;
    d = (Z(m).twice() + d) * d - dc;
    ++m;
    const CDDExp z = Z(m) + d;
    const FloatExp zz = z.norm();
    o.zx = z.x.hi * FloatExp::make(1.0, z.e).to_double();
    o.zy = z.y.hi * FloatExp::make(1.0, z.e).to_double();
    if (!(zz < FloatExp(9.0))) {
      o.n = n;
      return o;
    }
    if (++n >= steps) {
      o.n = n;
      return o;
    }
    if (zz < d.norm() || m == end) {
      d = z;
      m = 0;
    }
  }
}

void FlatSkips::build(const BlaTable& t, const Reference& ref, int end) {
  ax.clear();
  ay.clear();
  bx.clear();
  by.clear();
  rd.clear();
  first.clear();
  size.clear();
  min_level = t.min_level();
  max_level = t.levels();
  for (int j = min_level; j <= max_level; ++j) {
    first.push_back(static_cast<std::int64_t>(rd.size()));
    std::int64_t n = 0;
    for (const BlaStep* e; (e = t.at(j, 1 + static_cast<int>(n << j))) != nullptr; ++n) {
      ax.push_back(e->ax);
      ay.push_back(e->ay);
      bx.push_back(e->bx);
      by.push_back(e->by);
      rd.push_back(e->usable_in_doubles ? e->rd : 0.0);
    }
    size.push_back(n);
  }
  // Lanes that take no skip still gather entry 0.
  if (rd.empty()) {
    for (auto* v : {&ax, &ay, &bx, &by, &rd}) v->push_back(0.0);
  }
  rd_max = *std::max_element(rd.begin(), rd.end());
  // D_m = dZ_m/dc: D_0 = 0, D_(m+1) = 2 Z_m D_m - 1; a point that followed the reference from
  // its start has δ_m = D_m δc to first order.
  reach.clear();
  const std::int64_t grid = (std::int64_t{1} << min_level) - 1;
  const FloatExp bound = t.dc_max() * FloatExp(2.0 * 1.4142135623730951);
  CFloatExp dz;
  const CFloatExp one(1.0, 0.0);
  for (int m = 0; m <= end; ++m) {
    if (m >= 1 && ((m - 1) & grid) == 0) reach.push_back((dz.maxabs() * bound).to_double());
    dz = (ref.z(m) * dz) * FloatExp(2.0) - one;
  }
  if (reach.empty()) reach.push_back(0.0);
}

}  // namespace deep

struct DeepKernel::Prepared {
  deep::Perturber p;
  BlaTable bla;
  int limit = 0;
};

// The orbits computed for a view, kept for the next views that would compute the very same:
// the reference point, the precision and the radius they were made with are functions of the
// view (see prepare), and an orbit extended later equals one computed to that length at once.
struct DeepKernel::Orbits {
  BigFloat x{64}, y{64};  // the reference point
  long precision = 0;
  std::int64_t grid = 0;  // the radius's binary exponent
  bool choose = true;
  std::unique_ptr<Reference> centre;  // the point's own orbit
  // Derived from it for some limits: a periodic reference (its first p values, or the nucleus of
  // period p found by Newton's method), and the periods Newton's method failed for.
  std::unique_ptr<Reference> periodic;
  int periodic_of = 0;
  bool newton = false;
  std::vector<int> no_nucleus;
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

// The reference point for a view of centre (cx, cy) and radius 2^g to 2^(g+1): the centre
// rounded to the coarsest grid of powers of two that leaves it within 2^g of the centre. It is
// a function of the view alone, and while a dive or a pan keeps the centre within the radius of
// it, the same point: the orbit computed for one view serves the next ones.
std::pair<BigFloat, BigFloat> reference_point(const BigFloat& cx, const BigFloat& cy, std::int64_t g) {
  long top = g;
  for (const BigFloat* c : {&cx, &cy}) {
    if (!c->is_zero()) top = std::max(top, c->ilogb() + 2);
  }
  const FloatExp reach = FloatExp::make(1.0, g);
  for (long k = top; k > g - 2; --k) {
    BigFloat x = cx.rounded_to(k), y = cy.rounded_to(k);
    if (!(upper_abs((cx - x).to_floatexp(), (cy - y).to_floatexp()) > reach) || k == g - 1) {
      return {std::move(x), std::move(y)};
    }
  }
  return {cx, cy};  // not reached
}

}  // namespace

// The reference for a view, every choice a function of the view and its limit:
// - its point: the centre, rounded to a coarse grid (reference_point) unless the caller asks for
//   the centre's own orbit; its precision: the bits the view needs, rounded up to 128;
// - the point's orbit is computed, watching for the lowest period p whose nucleus may lie within
//   the view's disc (2^(g+1), g the radius's exponent);
// - if its Z_p is already small, its first p values become a periodic reference (the point is
//   near the nucleus: its orbit returns near 0 at p much as the nucleus's does);
// - else if it escapes before half the limit, so that points of the view may live far longer
//   than it, Newton's method finds the nucleus of period p within 2^(g+2) (about six orbits of
//   p), whose orbit never ends: long-lived points then rebase at p with small δ, and skips stay
//   long;
// - else the point's orbit as it is (measured: a Newton run costs more than it saves there).
// Any reference gives correct counts with rebasing; the choice is about speed and memory. The
// orbits are kept while the next view has the same point, precision and radius exponent, so a
// dive or a pan within the radius only extends them.
bool DeepKernel::prepare(const DeepParams& p, const CancelFn& cancelled, const ProgressFn& progress) {
  const auto t0 = std::chrono::steady_clock::now();
  stats_ = DeepStats{};
  ready_.reset();
  ref_ = nullptr;
  const long prec = (precision_for(p) + 64 + 127) / 128 * 128;
  const FloatExp radius = upper_abs(abs(p.sx) * FloatExp(p.umax), abs(p.sy) * FloatExp(p.vmax));
  const std::int64_t g = radius.zero() ? 0 : radius.e;
  const FloatExp disc = FloatExp::make(1.0, g + 1);
  const int steps = std::max(p.limit, 1);

  auto [rx, ry] = p.choose_reference ? reference_point(p.cx, p.cy, g) : std::pair<BigFloat, BigFloat>(p.cx, p.cy);
  Orbits* o = orbits_.get();
  const bool same = o != nullptr && o->precision == prec && o->choose == p.choose_reference &&
                    (!p.choose_reference || o->grid == g) && o->x == rx && o->y == ry;
  if (!same) {
    orbits_ = std::make_unique<Orbits>();
    o = orbits_.get();
    o->x = rx;
    o->y = ry;
    o->precision = prec;
    o->grid = g;
    o->choose = p.choose_reference;
    o->centre = std::make_unique<Reference>(rx, ry, prec);
    if (p.choose_reference) o->centre->watch_period(disc);
  }
  stats_.reused = same;
  Reference& centre = *o->centre;
  const long long before = centre.iterations();
  if (!centre.extend(steps, cancelled, progress)) return false;
  long long made = centre.iterations() - before;

  // What a fresh orbit of `steps` values would show: a period or an escape beyond them is not
  // seen.
  const int bp = centre.ball_period() <= steps ? centre.ball_period() : 0;
  const bool escaped = centre.escaped() && centre.end() <= steps;
  const Reference* chosen = &centre;
  if (p.choose_reference && bp > 0 && centre.z(bp).maxabs() < FloatExp(0x1p-20)) {
    // Z_p is already small: the point is close to the nucleus, and its own first p values serve
    // as well as the nucleus's, for nothing.
    if (!(o->periodic && o->periodic_of == bp && !o->newton)) {
      o->periodic = centre.periodic_prefix(bp);
      o->periodic_of = bp;
      o->newton = false;
    }
    chosen = o->periodic.get();
  } else if (p.choose_reference && bp > 0 && escaped && centre.end() < steps / 2 &&
             std::find(o->no_nucleus.begin(), o->no_nucleus.end(), bp) == o->no_nucleus.end()) {
    // Points may live far longer than the point: Newton's method (about six orbits of p) for a
    // reference that never ends.
    if (!(o->periodic && o->periodic_of == bp && o->newton)) {
      bool stopped = false;
      auto nucleus = find_nucleus(rx, ry, bp, prec, FloatExp::make(1.0, g + 2), FloatExp::make(1.0, g - 80),
                                  cancelled, progress, made, &stopped);
      if (stopped) return false;
      if (nucleus) {
        made += nucleus->iterations();
        o->periodic = std::move(nucleus);
        o->periodic_of = bp;
        o->newton = true;
      } else {
        o->no_nucleus.push_back(bp);
      }
    }
    if (o->periodic && o->periodic_of == bp && o->newton) chosen = o->periodic.get();
  }
  ref_ = chosen;
  stats_.mpfr_iterations = made;
  stats_.reference_seconds = seconds_since(t0);

  auto r = std::make_unique<Prepared>();
  const FloatExp ox = (p.cx - ref_->cx()).to_floatexp(), oy = (p.cy - ref_->cy()).to_floatexp();
  r->p.ref = ref_;
  r->p.Zx = ref_->zx();
  r->p.Zy = ref_->zy();
  // Values past the limit are never reached (a point's index is at most its count), and a
  // shorter orbit computed for this limit alone would end here.
  r->p.end = std::min(ref_->end(), steps);
  r->p.offx = ox;
  r->p.offy = oy;
  r->p.sx = p.sx;
  r->p.sy = p.sy;
  r->p.offx_exact = p.cx - ref_->cx();
  r->p.offy_exact = p.cy - ref_->cy();
  r->p.pitch = abs(p.sx) < abs(p.sy) || abs(p.sy).zero() ? abs(p.sx) : abs(p.sy);
  r->p.pitch_d = r->p.pitch.to_double();
  const auto normal = [](FloatExp x) { return x.zero() || (x.e > -900 && x.e < 900); };
  r->p.ref_x = ref_->cx().to_double();
  r->p.ref_y = ref_->cy().to_double();
  r->p.in_doubles = normal(ox) && normal(oy) && !p.sx.zero() && !p.sy.zero() && normal(p.sx) &&
                    normal(p.sy) && normal(r->p.pitch);
  r->p.offx_d = ox.to_double();
  r->p.offy_d = oy.to_double();
  r->p.sx_d = p.sx.to_double();
  r->p.sy_d = p.sy.to_double();
  r->limit = p.limit;
  if (p.bla) {
    const auto t1 = std::chrono::steady_clock::now();
    if (!r->bla.build(*ref_, r->p.end, upper_abs(ox, oy) + radius, cancelled)) return false;
    r->p.bla = &r->bla;
    r->p.flat.build(r->bla, *ref_, r->p.end);
    r->p.dc_max_d = r->bla.dc_max().to_double();
    if (!normal(r->bla.dc_max())) r->p.in_doubles = false;
    stats_.bla_seconds = seconds_since(t1);
    stats_.bla_entries = r->bla.entries();
  }
  stats_.precision = ref_->precision();
  stats_.reference_length = r->p.end + 1;
  stats_.period = ref_->period();
  ready_ = std::move(r);
  return true;
}

int DeepKernel::count_one(double u, double v) const {
  int n = -1;
  CountJob job{&u, &v, &n, 1, ready_->limit};
  deep::count_lanes(ready_->p, job, true);
  return n;
}

long long DeepKernel::recounted() const { return ready_ ? ready_->p.recounted.load() : 0; }
long long DeepKernel::unskipped() const { return ready_ ? ready_->p.unskipped.load() : 0; }

void DeepKernel::count(CountJob& job) const { deep::count_lanes(ready_->p, job, scalar_only_); }

}  // namespace zd
