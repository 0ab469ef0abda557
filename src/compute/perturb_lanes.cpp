// perturb_lanes.cpp — the perturbation loop in doubles on every vector lane, each lane its own
// point, built once per target and chosen at run time.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "compute/escape.h"
#include "compute/perturb_impl.h"

// Compiled once per target, as counts.cpp; the target is the one escape_counts runs on.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/perturb_lanes.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

#include "compute/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace zd {
namespace deep {
namespace HWY_NAMESPACE {

namespace hn = hwy::HWY_NAMESPACE;

// Every lane runs its own point through Perturber::chain's loop in doubles: from the start and
// from each rebase, at each index of the shortest skips' grid the longest skip that holds for
// the lane's own δ and index,
//   δ <- A δ + B δc, D <- A D + B pitch, m <- m + 2^j,
// until an index where none holds; else, and from there to the next rebase, a step,
//   δ <- (Z_m + z) δ - δc (the same value as 2 Z_m δ + δ² - δc, one operation fewer),
//   D <- 2 z D - pitch, m <- m + 1;
// then z = Z_m + δ; stop when |z|² >= 9 or at the limit; rebase (δ <- z, m <- 0) when |z| < |δ|
// or m reaches the end of the orbit. The same rule, operation for operation, as the chain of
// one point: a point's count does not depend on where it runs. Extended range
// (Perturber::run_extended) and the start of a point (Perturber::resume, whose chain takes most
// skips at depth with one table look-up) are scalar; while every lane of a vector
// is at one index (points that shadow the reference alike, as in smooth bands), the orbit and
// the skips are read once for all of them.
template <class D, int K>
class LaneLoop {
  using DI = hn::RebindToSigned<D>;
  using V = hn::Vec<D>;
  using VI = hn::Vec<DI>;
  using M = hn::Mask<D>;
  using MI = hn::Mask<DI>;
  static constexpr size_t kMax = hn::MaxLanes(D());
  static constexpr size_t kSlots = K * kMax;
  static_assert(kMax <= 64, "lane sets are 64-bit words");
  static constexpr std::int64_t kIdle = std::numeric_limits<std::int64_t>::min() / 4;

 public:
  struct Vec {
    V dx, dy, zx, zy, Zx, Zy, dcx, dcy;
    V ddx, ddy;  // the derivative dz/dc times the pitch
    VI m, n;
    MI skips;            // the lane's point may take skips
    MI took;             // the lane's point took a skip
    MI testing;          // the lane's point tests skips (from a rebase to a test that fails)
    bool same = false;   // every lane at index mk
    std::int64_t mk = 0;
  };

  LaneLoop(const Perturber& p, CountJob& job)
      : p_(p), job_(job), steps_(std::max(job.limit, 1)), L_(hn::Lanes(D())), f_(p.flat),
        skips_(p.bla != nullptr && f_.max_level >= f_.min_level) {}

  // Every point of the job (shared with other threads), until none is left or a stop.
  void Run() {
    const D d;
    Vec v0 = Fresh(0), v1, v2;
    if constexpr (K > 1) v1 = Fresh(1);
    if constexpr (K > 2) v2 = Fresh(2);
    if (active_ == 0) return;
    // A batch that may be abandoned looks at its stop every so many steps.
    constexpr std::int64_t kCheck = 1 << 12;
    const bool watched = job_.stop || job_.poll;
    std::int64_t check = kCheck;
    for (;;) {
      M in0, done0, rb0, in1, done1, rb1, in2, done2, rb2;
      const M c0 = Iterate(v0, in0, done0, rb0);
      M calm = c0, c1 = c0, c2 = c0;
      if constexpr (K > 1) calm = hn::And(calm, c1 = Iterate(v1, in1, done1, rb1));
      if constexpr (K > 2) calm = hn::And(calm, c2 = Iterate(v2, in2, done2, rb2));
      if (HWY_LIKELY(hn::AllTrue(d, calm)) && (!watched || --check > 0)) continue;
      if (watched && check <= 0) {
        check = kCheck;
        if (job_.poll) job_.poll();
        if (job_.stopped()) return Abandon();
      }
      if (!hn::AllTrue(d, c0)) v0 = Events(0, v0, in0, done0, rb0);
      if constexpr (K > 1) {
        if (!hn::AllTrue(d, c1)) v1 = Events(1, v1, in1, done1, rb1);
      }
      if constexpr (K > 2) {
        if (!hn::AllTrue(d, c2)) v2 = Events(2, v2, in2, done2, rb2);
      }
      if (active_ == 0) return;
    }
  }

 private:
  // Vector k with its first points.
  HWY_NOINLINE Vec Fresh(int k) {
    const D d;
    const DI di;
    Vec v;
    v.dx = v.dy = v.zx = v.zy = v.Zx = v.Zy = v.dcx = v.dcy = v.ddx = v.ddy = hn::Zero(d);
    v.m = hn::Zero(di);
    v.n = hn::Set(di, kIdle);
    v.skips = v.took = v.testing = hn::FirstN(di, 0);
    for (size_t j = 0; j < L_; ++j) Next(k * L_ + j, v);
    Settle(v);
    return v;
  }

  HWY_INLINE M Iterate(Vec& v, M& in, M& done, M& rebase) const {
    return v.same ? Iterate<true>(v, in, done, rebase) : Iterate<false>(v, in, done, rebase);
  }

  // One step or skip of every lane. Returns the lanes that need nothing more: still inside,
  // below the limit, no rebase.
  template <bool kSame>
  HWY_INLINE M Iterate(Vec& v, M& in, M& done, M& rebase) const {
    const D d;
    const DI di;
    const V two = hn::Set(d, 2.0), pitch = hn::Set(d, p_.pitch_d);
    const VI one = hn::Set(di, 1);
    V nx, ny, mx, my;
    {
      const V wx = hn::Add(v.Zx, v.zx), wy = hn::Add(v.Zy, v.zy);
      nx = hn::Sub(hn::Sub(hn::Mul(wx, v.dx), hn::Mul(wy, v.dy)), v.dcx);
      ny = hn::Sub(hn::Add(hn::Mul(wx, v.dy), hn::Mul(wy, v.dx)), v.dcy);
      mx = hn::Sub(hn::Mul(two, hn::Sub(hn::Mul(v.zx, v.ddx), hn::Mul(v.zy, v.ddy))), pitch);
      my = hn::Mul(two, hn::Add(hn::Mul(v.zx, v.ddy), hn::Mul(v.zy, v.ddx)));
    }
    VI l = one;
    std::int64_t common = 1;  // while kSame: the one length every lane moves by, else 0
    // Most steps at depth have no lane testing: they pay one mask test.
    if (skips_ && !hn::AllFalse(di, v.testing)) {
      const VI zero = hn::Zero(di);
      // The lanes at an index of the grid that test there; those that take no skip test no more
      // until they rebase.
      MI tested = v.testing;
      const std::int64_t grid = (std::int64_t{1} << f_.min_level) - 1;
      if (kSame) {
        if (v.mk < 1 || ((v.mk - 1) & grid) != 0) tested = hn::FirstN(di, 0);
      } else {
        const VI mm1 = hn::Sub(v.m, one);
        tested = hn::And(tested, hn::And(hn::Gt(v.m, zero), hn::Eq(hn::And(mm1, hn::Set(di, grid)), zero)));
      }
      const V dmax = hn::Max(hn::Abs(v.dx), hn::Abs(v.dy));
      MI want = hn::And(tested, hn::RebindMask(di, hn::Lt(dmax, hn::Set(d, f_.rd_max))));
      v.testing = hn::AndNot(tested, v.testing);
      if (HWY_UNLIKELY(!hn::AllFalse(di, want))) {
        const VI room = hn::Sub(hn::Set(di, steps_), v.n);
        VI len = zero;
        V ax = hn::Zero(d), ay = ax, bx = ax, by = ax;
        for (int j = f_.min_level; j <= f_.max_level; ++j) {
          const std::int64_t span = std::int64_t{1} << j;
          const size_t level = static_cast<size_t>(j - f_.min_level);
          want = hn::And(want, hn::Not(hn::Gt(hn::Set(di, span), room)));
          if (kSame) {
            // One entry for every lane: scalar tests, broadcast radius and coefficients.
            const std::int64_t k = v.mk - 1, i = k >> j;
            if ((k & (span - 1)) != 0 || i >= f_.size[level]) break;
            const std::int64_t e = f_.first[level] + i;
            want = hn::And(want, hn::RebindMask(di, hn::Lt(dmax, hn::Set(d, f_.rd[e]))));
            if (hn::AllFalse(di, want)) break;
            const M w = hn::RebindMask(d, want);
            ax = hn::IfThenElse(w, hn::Set(d, f_.ax[e]), ax);
            ay = hn::IfThenElse(w, hn::Set(d, f_.ay[e]), ay);
            bx = hn::IfThenElse(w, hn::Set(d, f_.bx[e]), bx);
            by = hn::IfThenElse(w, hn::Set(d, f_.by[e]), by);
          } else {
            const VI mm1 = hn::Sub(v.m, one);
            const VI i = hn::ShiftRightSame(mm1, j);
            want = hn::And(want, hn::Eq(hn::And(mm1, hn::Set(di, span - 1)), zero));
            want = hn::And(want, hn::Lt(i, hn::Set(di, f_.size[level])));
            if (hn::AllFalse(di, want)) break;
            const VI at = hn::IfThenElseZero(want, hn::Add(i, hn::Set(di, f_.first[level])));
            want = hn::And(want, hn::RebindMask(di, hn::Lt(dmax, hn::GatherIndex(d, f_.rd.data(), at))));
            if (hn::AllFalse(di, want)) break;
            const M w = hn::RebindMask(d, want);
            ax = hn::IfThenElse(w, hn::GatherIndex(d, f_.ax.data(), at), ax);
            ay = hn::IfThenElse(w, hn::GatherIndex(d, f_.ay.data(), at), ay);
            bx = hn::IfThenElse(w, hn::GatherIndex(d, f_.bx.data(), at), bx);
            by = hn::IfThenElse(w, hn::GatherIndex(d, f_.by.data(), at), by);
          }
          len = hn::IfThenElse(want, hn::Set(di, span), len);
        }
        const MI skip = hn::Gt(len, zero);
        if (!hn::AllFalse(di, skip)) {
          const V sx = hn::Add(hn::Sub(hn::Mul(ax, v.dx), hn::Mul(ay, v.dy)), hn::Sub(hn::Mul(bx, v.dcx), hn::Mul(by, v.dcy)));
          const V sy = hn::Add(hn::Add(hn::Mul(ax, v.dy), hn::Mul(ay, v.dx)), hn::Add(hn::Mul(bx, v.dcy), hn::Mul(by, v.dcx)));
          const V tx = hn::Add(hn::Sub(hn::Mul(ax, v.ddx), hn::Mul(ay, v.ddy)), hn::Mul(bx, pitch));
          const V ty = hn::Add(hn::Add(hn::Mul(ax, v.ddy), hn::Mul(ay, v.ddx)), hn::Mul(by, pitch));
          const M s = hn::RebindMask(d, skip);
          nx = hn::IfThenElse(s, sx, nx);
          ny = hn::IfThenElse(s, sy, ny);
          mx = hn::IfThenElse(s, tx, mx);
          my = hn::IfThenElse(s, ty, my);
          l = hn::IfThenElse(skip, len, one);
          v.took = hn::Or(v.took, skip);
          v.testing = hn::Or(v.testing, skip);
          common = hn::AllTrue(di, hn::Eq(l, hn::Set(di, hn::GetLane(l)))) ? hn::GetLane(l) : 0;
        }
      }
    }
    v.m = hn::Add(v.m, l);
    v.n = hn::Add(v.n, l);
    if (kSame && common != 0) {
      v.mk += common;
      v.Zx = hn::Set(d, p_.Zx[v.mk]);
      v.Zy = hn::Set(d, p_.Zy[v.mk]);
    } else {
      v.same = false;
      v.Zx = hn::GatherIndex(d, p_.Zx, v.m);
      v.Zy = hn::GatherIndex(d, p_.Zy, v.m);
    }
    v.zx = hn::Add(v.Zx, nx);
    v.zy = hn::Add(v.Zy, ny);
    v.dx = nx;
    v.dy = ny;
    v.ddx = mx;
    v.ddy = my;
    const V zz = hn::Add(hn::Mul(v.zx, v.zx), hn::Mul(v.zy, v.zy));
    const V dd = hn::Add(hn::Mul(nx, nx), hn::Mul(ny, ny));
    in = hn::Lt(zz, hn::Set(d, 9.0));
    done = hn::RebindMask(d, hn::Not(hn::Gt(hn::Set(di, steps_), v.n)));
    rebase = hn::Lt(zz, dd);
    if (kSame && v.same) {
      if (v.mk == p_.end) rebase = hn::Not(hn::FirstN(d, 0));
    } else {
      rebase = hn::Or(rebase, hn::RebindMask(d, hn::Eq(v.m, hn::Set(di, p_.end))));
    }
    return hn::AndNot(hn::Or(rebase, done), in);
  }

  static std::uint64_t Bits(M m) { return zd::HWY_NAMESPACE::LaneBits(D(), m); }
  static M Mask(std::uint64_t w) { return zd::HWY_NAMESPACE::LaneMask(D(), w); }
  static M One(size_t j) { return hn::RebindMask(D(), hn::Eq(hn::Iota(DI(), 0), hn::Set(DI(), static_cast<std::int64_t>(j)))); }

  // After lanes changed: one index again if every lane with a point is at it (idle lanes follow
  // the reference itself, at any index).
  void Settle(Vec& v) const {
    const DI di;
    HWY_ALIGN std::int64_t m[kMax], n[kMax];
    hn::Store(v.m, di, m);
    hn::Store(v.n, di, n);
    std::int64_t at = -1;
    bool same = true;
    for (size_t j = 0; j < L_ && same; ++j) {
      if (n[j] <= kIdle / 2) continue;  // idle
      if (at < 0) at = m[j];
      same = m[j] == at;
    }
    if (!same || at < 0) {
      v.same = false;
      return;
    }
    v.same = true;
    v.mk = at;
    v.m = hn::Set(di, at);
    v.Zx = hn::Set(D(), p_.Zx[at]);
    v.Zy = hn::Set(D(), p_.Zy[at]);
  }
  // Vector k's lanes that escaped, reached the limit or must rebase after an Iterate. The
  // vector goes in and out by value: its registers must not have an address in the loop.
  HWY_NOINLINE Vec Events(int k, Vec v, M in, M done, M rebase) {
    const D d;
    const DI di;
    const size_t o = static_cast<size_t>(k) * L_;
    const std::uint64_t escaped = Bits(hn::Not(in));
    const std::uint64_t ended = escaped | Bits(hn::And(done, in));
    const M r = hn::AndNot(hn::Or(hn::Not(in), done), rebase);
    // Lanes that leave the vector loop for a while: back to extended range (δc below the double
    // range and z tiny). A lane that rebases in doubles stays: Iterate tests its skips by
    // Perturber::chain's rule, and a trip through the scalar chain at every rebase cost more than the
    // chain saved where points rebase often (the inside of a copy of the set).
    std::uint64_t scalar = 0;
    if (!hn::AllFalse(d, r)) {
      const V mz = hn::Max(hn::Abs(v.zx), hn::Abs(v.zy));
      const std::uint64_t low = low_[k] & Bits(r);
      if (low != 0) scalar = low & Bits(hn::Lt(mz, hn::Set(d, kSmallDelta)));
      const M now = hn::AndNot(Mask(scalar), r);
      v.dx = hn::IfThenElse(now, v.zx, v.dx);
      v.dy = hn::IfThenElse(now, v.zy, v.dy);
      v.Zx = hn::IfThenZeroElse(now, v.Zx);
      v.Zy = hn::IfThenZeroElse(now, v.Zy);
      v.m = hn::IfThenZeroElse(hn::RebindMask(di, now), v.m);
      v.testing = hn::Or(v.testing, hn::And(v.skips, hn::RebindMask(di, now)));
    }
    if ((ended | scalar) == 0) {
      Settle(v);
      return v;
    }
    const std::uint64_t took = Bits(hn::RebindMask(d, v.took));
    // Perturber::checked's test, on every lane at once: most counts are not in doubt.
    std::uint64_t clean = 0;
    if (ended != 0) {
      const V dz = hn::Sqrt(hn::Add(hn::Mul(v.ddx, v.ddx), hn::Mul(v.ddy, v.ddy)));
      const V doubt = hn::IfThenElse(hn::RebindMask(d, v.took), hn::Set(d, kDoubtSkipped), hn::Set(d, kDoubt));
      clean = Bits(hn::Not(hn::Gt(hn::Mul(hn::LoadU(d, pixels_ + o), dz), doubt)));
    }
    HWY_ALIGN std::int64_t n[kMax];
    HWY_ALIGN double ddx[kMax], ddy[kMax], zx[kMax], zy[kMax];
    hn::Store(v.n, di, n);
    hn::Store(v.ddx, d, ddx);
    hn::Store(v.ddy, d, ddy);
    hn::Store(v.zx, d, zx);
    hn::Store(v.zy, d, zy);
    for (std::uint64_t e = ended; e != 0; e &= e - 1) {
      const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
      if (point_[o + j] >= 0) {
        // Left the radius at this step: the step is not counted. Otherwise the limit.
        const int count = static_cast<int>(n[j] - static_cast<std::int64_t>((escaped >> j) & 1));
        Perturber::Outcome out;
        out.n = count;
        out.zx = zx[j];
        out.zy = zy[j];
        out.dx = ddx[j];
        out.dy = ddy[j];
        Finish(point_[o + j], pixels_[o + j], out, ((took >> j) & 1) != 0, ((clean >> j) & 1) != 0);
        point_[o + j] = -1;
        --active_;
      }
      Next(o + j, v);
    }
    for (std::uint64_t e = scalar; e != 0; e &= e - 1) {
      const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
      const int pt = point_[o + j];
      if (pt < 0) continue;
      State s;
      s.n = static_cast<int>(n[j]);
      s.skipped = ((took >> j) & 1) != 0;
      const bool tiny = ((low_[k] >> j) & 1) != 0 && std::fabs(zx[j]) < kSmallDelta && std::fabs(zy[j]) < kSmallDelta;
      if (tiny) {
        s.d = CFloatExp(zx[j], zy[j]);
        s.dd = CFloatExp(ddx[j], ddy[j]);
      } else {
        s.dbl = true;
        s.dx = zx[j];
        s.dy = zy[j];
        s.ddx = ddx[j];
        s.ddy = ddy[j];
      }
      Start(o + j, pt, s, v);
    }
    Settle(v);
    return v;
  }

  int Claim() { return claims_.take(); }

  // Slot i (lane i % L of its vector v) goes on with point pt from state s through the point's
  // scalar part (Perturber::resume), then in the vector loop; or, if the point ends there, with
  // the next point.
  void Start(size_t i, int pt, State& s, Vec& v) {
    const Perturber::Point q = p_.point(job_.cx[pt], job_.cy[pt]);
    const int r = p_.resume(q, job_.cx[pt], job_.cy[pt], s, steps_, &job_);
    if (r == -1) return Load(i, pt, q, s, v);
    Finish(pt, q.pixels, p_.outcome(r, s), s.skipped);
    if (point_[i] >= 0) {
      point_[i] = -1;
      --active_;
    }
    Next(i, v);
  }

  // Gives slot i the next point that runs in doubles: points that end before are counted here.
  // Without one the lane idles at the reference point itself (δ = δc = 0) and never reaches the
  // limit.
  void Next(size_t i, Vec& v) {
    for (int pt; (pt = Claim()) >= 0;) {
      const Perturber::Point q = p_.point(job_.cx[pt], job_.cy[pt]);
      State s;
      s.dbl = !q.low;
      const int r = p_.resume(q, job_.cx[pt], job_.cy[pt], s, steps_, &job_);
      if (r == -1) {
        ++active_;
        return Load(i, pt, q, s, v);
      }
      Finish(pt, q.pixels, p_.outcome(r, s), s.skipped);
    }
    point_[i] = -1;
    const DI di;
    const size_t j = i % L_;
    const M lane = One(j);
    const MI lanei = hn::RebindMask(di, lane);
    v.dx = hn::IfThenZeroElse(lane, v.dx);
    v.dy = hn::IfThenZeroElse(lane, v.dy);
    v.dcx = hn::IfThenZeroElse(lane, v.dcx);
    v.dcy = hn::IfThenZeroElse(lane, v.dcy);
    v.Zx = hn::IfThenZeroElse(lane, v.Zx);
    v.Zy = hn::IfThenZeroElse(lane, v.Zy);
    v.zx = hn::IfThenZeroElse(lane, v.zx);
    v.zy = hn::IfThenZeroElse(lane, v.zy);
    v.ddx = hn::IfThenZeroElse(lane, v.ddx);
    v.ddy = hn::IfThenZeroElse(lane, v.ddy);
    v.m = hn::IfThenZeroElse(lanei, v.m);
    v.n = hn::IfThenElse(lanei, hn::Set(di, kIdle), v.n);
    v.skips = hn::AndNot(lanei, v.skips);
    v.testing = hn::AndNot(lanei, v.testing);
    v.took = hn::AndNot(lanei, v.took);
    low_[i / L_] &= ~(std::uint64_t{1} << j);
  }

  // Point pt's outcome (its count kStopped: abandoned), checked for doubt unless `clean` says
  // it passed the check already.
  void Finish(int pt, double pixels, Perturber::Outcome o, bool skipped, bool clean = false) {
    if (!clean) o = p_.checked(pixels, job_.cx[pt], job_.cy[pt], o, skipped, steps_, &job_);
    job_.out[pt] = o.n < 0 ? -1 : o.n;
    if (job_.smooth || job_.distance) {
      Escape e{static_cast<double>(o.n), 0.0};
      if (o.n >= 0 && o.n < steps_) {
        const Perturber::Point q = p_.point(job_.cx[pt], job_.cy[pt]);
        e = escape_of(o.n, o.zx, o.zy, o.dx, o.dy, p_.ref_x + q.dcx, p_.ref_y + q.dcy, p_.pitch_d,
                      job_.distance != nullptr);
      }
      if (job_.smooth) job_.smooth[pt] = e.nu;
      if (job_.distance) job_.distance[pt] = e.distance;
    }
  }

  // Slot i continues point pt (q) from state s (in doubles).
  void Load(size_t i, int pt, const Perturber::Point& q, const State& s, Vec& v) {
    const D d;
    const DI di;
    const size_t j = i % L_;
    point_[i] = pt;
    pixels_[i] = q.pixels;
    const M lane = One(j);
    const MI lanei = hn::RebindMask(di, lane);
    const double Zx = p_.Zx[s.m], Zy = p_.Zy[s.m];
    v.dx = hn::IfThenElse(lane, hn::Set(d, s.dx), v.dx);
    v.dy = hn::IfThenElse(lane, hn::Set(d, s.dy), v.dy);
    v.Zx = hn::IfThenElse(lane, hn::Set(d, Zx), v.Zx);
    v.Zy = hn::IfThenElse(lane, hn::Set(d, Zy), v.Zy);
    v.zx = hn::IfThenElse(lane, hn::Set(d, Zx + s.dx), v.zx);
    v.zy = hn::IfThenElse(lane, hn::Set(d, Zy + s.dy), v.zy);
    v.dcx = hn::IfThenElse(lane, hn::Set(d, q.dcx), v.dcx);
    v.dcy = hn::IfThenElse(lane, hn::Set(d, q.dcy), v.dcy);
    v.ddx = hn::IfThenElse(lane, hn::Set(d, s.ddx), v.ddx);
    v.ddy = hn::IfThenElse(lane, hn::Set(d, s.ddy), v.ddy);
    v.m = hn::IfThenElse(lanei, hn::Set(di, s.m), v.m);
    v.n = hn::IfThenElse(lanei, hn::Set(di, s.n), v.n);
    const std::uint64_t bit = std::uint64_t{1} << j;
    std::uint64_t& low = low_[i / L_];
    low = q.low ? low | bit : low & ~bit;
    v.skips = q.skips ? hn::Or(v.skips, lanei) : hn::AndNot(lanei, v.skips);
    // It comes from Perturber::resume at a test that failed (or that would at index 1).
    v.testing = hn::AndNot(lanei, v.testing);
    v.took = s.skipped ? hn::Or(v.took, lanei) : hn::AndNot(lanei, v.took);
  }

  // Leaves -1 for every point this call holds or has yet to start, and takes the rest of the
  // job so that nobody starts them.
  void Abandon() {
    for (size_t i = 0; i < K * L_; ++i) {
      if (point_[i] >= 0) job_.out[point_[i]] = -1;
    }
    claims_.abandon();
    active_ = 0;
  }

  const Perturber& p_;
  CountJob& job_;
  Claims claims_{job_};
  const std::int64_t steps_;
  const size_t L_;
  const FlatSkips& f_;
  const bool skips_;  // the view has skips
  int active_ = 0;
  int point_[kSlots] = {};
  double pixels_[kSlots] = {};     // the lane's Point::pixels
  std::uint64_t low_[K] = {};   // per vector, lanes whose δc is below the double range
};

// Independent vectors stepped together, so that one's gathers and multiplies run while
// another's wait (two measured as fast as three, and faster than one, on AVX-512).
#if HWY_TARGET == HWY_SCALAR
constexpr int kVectors = 1;
#else
constexpr int kVectors = 2;
#endif
void CountLanes(const Perturber* p, CountJob* job) { LaneLoop<hn::ScalableTag<double>, kVectors>(*p, *job).Run(); }
void CountOneLane(const Perturber* p, CountJob* job) { LaneLoop<hn::CappedTag<double, 1>, 1>(*p, *job).Run(); }

}  // namespace HWY_NAMESPACE
}  // namespace deep
}  // namespace zd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "compute/targets.h"  // after highway.h: its list depends on HWY_TARGETS
namespace zd::deep {

namespace {
using Entry = void (*)(const Perturber*, CountJob*);
constexpr OnTarget<Entry> kLanes[] = {ZD_ON_EACH_TARGET(CountLanes)};
constexpr OnTarget<Entry> kOneLane[] = {ZD_ON_EACH_TARGET(CountOneLane)};
}  // namespace

// On the target counts.cpp chose from the CPU's flags.
void count_lanes(const Perturber& p, CountJob& job, bool one_lane) {
  on_target(one_lane ? kOneLane : kLanes, counts_target_bit())(&p, &job);
}

}  // namespace zd::deep
#endif  // HWY_ONCE
