// perturb_lanes.cpp — the perturbation loop on every vector lane, built once per target, chosen at run time.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "compute/perturb_impl.h"

// Compiled once per target, as counts.cpp; the target is the one escape_counts runs on.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/perturb_lanes.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace zd {
namespace deep {
namespace HWY_NAMESPACE {

// A point from its first step: to the end in extended range or with skips, or until it runs in
// doubles (then -1, with *s its state).
inline int Start(const Perturber& p, const CountJob& job, int i, int steps, CFloatExp* dc, State* s) {
  *dc = p.dc(job.cx[i], job.cy[i]);
  *s = State{};
  s->dbl = Perturber::dc_in_doubles(*dc);
  return p.run(*dc, s, steps, p.bla != nullptr, true);
}

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// No vector unit to use: the scalar loop itself.
void CountLanes(const Perturber* p, CountJob* job) {
  const int steps = std::max(job->limit, 1);
  for (;;) {
    const int first = job->next.fetch_add(16, std::memory_order_relaxed);
    if (first >= job->n) return;
    for (int i = first; i < std::min(first + 16, job->n); ++i) {
      CFloatExp dc;
      State s;
      int n = Start(*p, *job, i, steps, &dc, &s);
      if (n < 0) n = p->run(dc, &s, steps, p->bla != nullptr, false);
      job->out[i] = n;
    }
  }
}

#else

namespace hn = hwy::HWY_NAMESPACE;
using D = hn::ScalableTag<double>;
using DI = hn::RebindToSigned<D>;
using V = hn::Vec<D>;
using VI = hn::Vec<DI>;
using M = hn::Mask<D>;

// Independent vectors stepped together, as in counts.cpp; each keeps eight or nine registers
// (δ, z, Z, δc, index), so fewer fit than there. On AVX-512 three measured faster than two or
// four, inside a small copy of the set and on boundary views alike.
#undef ZD_EACH_VECTOR
#if HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3  // AVX2 and SSE: 16 registers
constexpr int K = 1;
#define ZD_EACH_VECTOR(X) X(0)
#else  // AVX-512, NEON, SVE: 32 registers
constexpr int K = 3;
#define ZD_EACH_VECTOR(X) X(0) X(1) X(2)
#endif

// A vector's lanes and where they are in the reference orbit. While every lane is at the same
// index (points started together and rebased together, as in a small copy's interior, where
// they all rebase at its period), the index is one scalar and Z_m one broadcast load; otherwise
// each lane has its own and Z_m is gathered.
struct Vec {
  V dx, dy, zx, zy, Zx, Zy, dcx, dcy;
  VI m;
  bool same = false;
  std::int64_t mk = 0;  // the index when `same`
};

// One step of every lane, the operations of Perturber::run's double step in the same order:
// δ <- (Z_m + z) δ - δc, m <- m + 1, z = Z_m + δ. `in` says which lanes are still inside the
// escape radius (false for a NaN), `rebase` which must rebase: |z| < |δ|, or the end of the
// orbit reached. The result: lanes that need neither.
template <bool kSame>
HWY_INLINE M Step(Vec& v, const double* zxs, const double* zys, const VI one, const VI endv,
                  const V nine, M& in, M& rebase) {
  const D d;
  const V wx = hn::Add(v.Zx, v.zx), wy = hn::Add(v.Zy, v.zy);
  const V nx = hn::Sub(hn::Sub(hn::Mul(wx, v.dx), hn::Mul(wy, v.dy)), v.dcx);
  const V ny = hn::Sub(hn::Add(hn::Mul(wx, v.dy), hn::Mul(wy, v.dx)), v.dcy);
  if (kSame) {
    // The end of the orbit is then a deadline of the vector's (Lanes::Soon).
    ++v.mk;
    v.Zx = hn::Set(d, zxs[v.mk]);
    v.Zy = hn::Set(d, zys[v.mk]);
  } else {
    v.m = hn::Add(v.m, one);
    v.Zx = hn::GatherIndex(d, zxs, v.m);
    v.Zy = hn::GatherIndex(d, zys, v.m);
  }
  v.zx = hn::Add(v.Zx, nx);
  v.zy = hn::Add(v.Zy, ny);
  v.dx = nx;
  v.dy = ny;
  const V zz = hn::Add(hn::Mul(v.zx, v.zx), hn::Mul(v.zy, v.zy));
  const V dd = hn::Add(hn::Mul(nx, nx), hn::Mul(ny, ny));
  in = hn::Lt(zz, nine);
  rebase = hn::Lt(zz, dd);
  if (!kSame) rebase = hn::Or(rebase, hn::RebindMask(d, hn::Eq(v.m, endv)));
  return hn::AndNot(rebase, in);
}
HWY_INLINE M Step(Vec& v, const double* zxs, const double* zys, const VI one, const VI endv,
                  const V nine, M& in, M& rebase) {
  return v.same ? Step<true>(v, zxs, zys, one, endv, nine, in, rebase)
                : Step<false>(v, zxs, zys, one, endv, nine, in, rebase);
}

// δ <- z, m <- 0 for the lanes of r, in the registers.
HWY_INLINE void Rebase(Vec& v, M r) {
  const D d;
  if (hn::AllTrue(d, r)) {
    v.same = true;
    v.mk = 0;
  } else if (v.same) {
    v.m = hn::Set(DI(), v.mk);
    v.same = false;
  }
  v.dx = hn::IfThenElse(r, v.zx, v.dx);
  v.dy = hn::IfThenElse(r, v.zy, v.dy);
  v.Zx = hn::IfThenZeroElse(r, v.Zx);
  v.Zy = hn::IfThenZeroElse(r, v.Zy);
  if (!v.same) v.m = hn::IfThenZeroElse(hn::RebindMask(DI(), r), v.m);
}

// A skip of the whole vector, when its lanes share an index there and every one of them is
// within the skip's radius: the longest such, as Perturber::run takes for one point, with its
// operations. It must end by the vector's next deadline (`soon`). False when there is none.
HWY_INLINE bool Skip(Vec& v, std::int64_t& it, std::int64_t soon, const BlaTable& bla,
                     const double* zxs, const double* zys, const V nine, M& in, M& rebase) {
  const std::int64_t m = v.mk;
  if (m < 1 || ((m - 1) & ((1 << bla.min_level()) - 1)) != 0) return false;
  const D d;
  const V dmax = hn::Max(hn::Abs(v.dx), hn::Abs(v.dy));
  const BlaStep* e = nullptr;
  int l = 0;
  for (int j = bla.min_level(); it + (std::int64_t{1} << j) <= soon; ++j) {
    const BlaStep* s = bla.at(j, static_cast<int>(m));
    if (s == nullptr || !hn::AllTrue(d, hn::Lt(dmax, hn::Set(d, s->rd)))) break;
    e = s;
    l = 1 << j;
  }
  if (e == nullptr) return false;  // rd is 0 where the coefficients do not fit doubles
  const V ax = hn::Set(d, e->ax), ay = hn::Set(d, e->ay), bx = hn::Set(d, e->bx), by = hn::Set(d, e->by);
  const V nx = hn::Add(hn::Sub(hn::Mul(ax, v.dx), hn::Mul(ay, v.dy)), hn::Sub(hn::Mul(bx, v.dcx), hn::Mul(by, v.dcy)));
  const V ny = hn::Add(hn::Add(hn::Mul(ax, v.dy), hn::Mul(ay, v.dx)), hn::Add(hn::Mul(bx, v.dcy), hn::Mul(by, v.dcx)));
  v.mk += l;
  it += l;
  v.Zx = hn::Set(d, zxs[v.mk]);
  v.Zy = hn::Set(d, zys[v.mk]);
  v.zx = hn::Add(v.Zx, nx);
  v.zy = hn::Add(v.Zy, ny);
  v.dx = nx;
  v.dy = ny;
  const V zz = hn::Add(hn::Mul(v.zx, v.zx), hn::Mul(v.zy, v.zy));
  const V dd = hn::Add(hn::Mul(nx, nx), hn::Mul(ny, ny));
  in = hn::Lt(zz, nine);
  rebase = hn::Lt(zz, dd);
  return true;
}

// The lanes' bookkeeping, in scalars, as counts.cpp's Lanes: each lane runs its own point and
// takes the next one when it ends; all lanes step together, so a lane's count is the steps it
// has made since it started plus the steps its point made before (on the scalar path).
class Lanes {
 public:
  static constexpr size_t kMax = hn::MaxLanes(D());
  static_assert(kMax <= 64, "lane sets are 64-bit words");
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  Lanes(const Perturber& p, CountJob& job)
      : p_(p), job_(job), steps_(std::max(job.limit, 1)), L_(hn::Lanes(D())) {}

  bool Done() const { return active_ == 0; }
  // Vector k's next deadline (a lane's limit, or the orbit's end when its lanes share an index).
  std::int64_t Soon(int k) const { return soonest_[k]; }
  // Whether every lane of vector k may take skips.
  bool SkipsOk(int k) const { return skips_ok_[k]; }
  // The earliest of vector k's lanes' limits.
  std::int64_t Deadline(int k) const { return deadline_soon_[k]; }
  // Whether a lane of vector k goes back to extended range when it rebases to a tiny δ.
  bool LowDc(int k) const { return lowdc_bits_[k] != 0; }

  // Vector k's first points.
  HWY_NOINLINE Vec Load(int k) {
    const D d;
    Vec v;
    v.dx = v.dy = v.zx = v.zy = v.Zx = v.Zy = v.dcx = v.dcy = hn::Zero(d);
    v.m = hn::Zero(DI());
    v.same = false;
    for (size_t j = 0; j < L_; ++j) Take(k * L_ + j, 0, Mask(std::uint64_t{1} << j), v);
    Settle(k, 0, v);
    return v;
  }

  // After step it: rebases the lanes that need it, records the counts of those that have ended
  // and starts them afresh.
  // The vector goes in and out by value: its registers must not have an address in the loop.
  HWY_NOINLINE Vec Handover(int k, std::int64_t it, M in, M rebase, Vec v) {
    const D d;
    const DI di;
    const size_t o = k * L_;
    if (v.same && v.mk == p_.end) rebase = hn::FirstN(d, L_);  // all of them at the end
    const M r = hn::And(rebase, in);
    std::uint64_t ended = Bits(hn::Not(in));  // escaped
    const std::uint64_t escaped = ended;
    if (!hn::AllFalse(d, r)) {
      // δ <- z, m <- 0: in the registers, without touching the lanes' bookkeeping.
      if (v.same && !hn::AllTrue(d, r)) Spread(v);
      v.dx = hn::IfThenElse(r, v.zx, v.dx);
      v.dy = hn::IfThenElse(r, v.zy, v.dy);
      v.Zx = hn::IfThenZeroElse(r, v.Zx);
      v.Zy = hn::IfThenZeroElse(r, v.Zy);
      if (v.same) {
        v.mk = 0;
      } else {
        v.m = hn::IfThenZeroElse(hn::RebindMask(di, r), v.m);
      }
      const std::uint64_t low = lowdc_bits_[k] & Bits(r);
      if (low != 0) {
        const V small = hn::Set(d, kSmallDelta);
        const M tiny = hn::And(hn::Lt(hn::Abs(v.zx), small), hn::Lt(hn::Abs(v.zy), small));
        for (std::uint64_t e = low & Bits(tiny); e != 0; e &= e - 1) {
          // A tiny δ beyond the double range of δc: the scalar loop finishes the point in
          // extended range.
          const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
          const size_t i = o + j;
          if (point_[i] < 0) continue;
          State s;
          s.n = static_cast<int>(n0_[i] + (it - start_[i]));
          s.d = CFloatExp(hn::ExtractLane(v.zx, j), hn::ExtractLane(v.zy, j));
          const int pt = point_[i];
          job_.out[pt] = p_.run(p_.dc(job_.cx[pt], job_.cy[pt]), &s, steps_, false, false);
          point_[i] = -1;  // counted
          ended |= std::uint64_t{1} << j;
        }
      }
    }
    if (it >= soonest_[k]) {
      for (size_t j = 0; j < L_; ++j) {
        if (deadline_[o + j] <= it) ended |= std::uint64_t{1} << j;
      }
    }
    if (ended == 0) {
      Settle(k, it, v);
      return v;
    }
    for (std::uint64_t e = ended; e != 0; e &= e - 1) {
      const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
      const size_t i = o + j;
      if (point_[i] >= 0) {
        // Left the radius at this step: the step was not counted. Otherwise the limit.
        const std::int64_t uncounted = static_cast<std::int64_t>((escaped >> j) & 1);
        job_.out[point_[i]] = static_cast<int>(n0_[i] + (it - start_[i]) - uncounted);
        --active_;
      }
      Take(i, it, Mask(std::uint64_t{1} << j), v);
    }
    Settle(k, it, v);
    return v;
  }

 private:
  static constexpr size_t kMaskBytes = (kMax + 7) / 8;
  std::uint64_t Bits(M mask) const {
    std::uint8_t bits[8] = {};
    hn::StoreMaskBits(D(), mask, bits);
    std::uint64_t w = 0;
    for (size_t b = 0; b < kMaskBytes; ++b) w |= std::uint64_t{bits[b]} << (8 * b);
    return w & (L_ == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << L_) - 1);
  }
  static M Mask(std::uint64_t w) {
    std::uint8_t bits[8] = {};
    for (size_t b = 0; b < kMaskBytes; ++b) bits[b] = static_cast<std::uint8_t>(w >> (8 * b));
    return hn::LoadMaskBits(D(), bits);
  }

  // Gives every lane its own index again.
  static void Spread(Vec& v) {
    v.m = hn::Set(DI(), v.mk);
    v.same = false;
  }
  // After lanes changed: one index again if they all share it; the earliest deadline.
  void Settle(int k, std::int64_t it, Vec& v) {
    if (!v.same) {
      HWY_ALIGN std::int64_t m[kMax];
      hn::Store(v.m, DI(), m);
      v.same = std::all_of(m, m + L_, [&](std::int64_t x) { return x == m[0]; });
      v.mk = m[0];
    }
    std::uint64_t low = 0;
    std::int64_t t = kNever;
    bool ok = true;
    for (size_t j = 0; j < L_; ++j) {
      t = std::min(t, deadline_[k * L_ + j]);
      if (point_[k * L_ + j] >= 0 && lowdc_[k * L_ + j]) low |= std::uint64_t{1} << j;
      ok = ok && (point_[k * L_ + j] < 0 || skips_[k * L_ + j]);
    }
    skips_ok_[k] = ok && p_.bla != nullptr;
    deadline_soon_[k] = t;
    if (v.same) t = std::min(t, it + (p_.end - v.mk));  // the step at which it reaches the end
    soonest_[k] = t;
    lowdc_bits_[k] = low;
  }

  int Claim() {
    if (next_ == end_) {
      const int first = job_.next.fetch_add(kClaim, std::memory_order_relaxed);
      if (first >= job_.n) return -1;
      next_ = first;
      end_ = std::min(first + kClaim, job_.n);
    }
    return next_++;
  }

  // Gives lane i (the single lane of `lane`) the next point that needs the vector loop: points
  // that end on the scalar path before they run in doubles are counted here. Without one the
  // lane idles at the reference point itself (δ = δc = 0).
  void Take(size_t i, std::int64_t it, M lane, Vec& v) {
    const D d;
    const DI di;
    if (v.same) Spread(v);
    State s;
    CFloatExp dc;
    point_[i] = -1;
    for (int pt; point_[i] < 0 && (pt = Claim()) >= 0;) {
      const int n = Start(p_, job_, pt, steps_, &dc, &s);
      if (n >= 0) {
        job_.out[pt] = n;
      } else {
        point_[i] = pt;
      }
    }
    if (point_[i] < 0) {
      s = State{};
      dc = CFloatExp();
    }
    n0_[i] = s.n;
    start_[i] = it;
    deadline_[i] = point_[i] < 0 ? kNever : it + (steps_ - s.n);
    lowdc_[i] = !Perturber::dc_in_doubles(dc);
    skips_[i] = p_.skips_for(dc);
    if (point_[i] >= 0) ++active_;
    const double Zm_x = p_.Zx[s.m], Zm_y = p_.Zy[s.m];
    v.dx = hn::IfThenElse(lane, hn::Set(d, s.dx), v.dx);
    v.dy = hn::IfThenElse(lane, hn::Set(d, s.dy), v.dy);
    v.Zx = hn::IfThenElse(lane, hn::Set(d, Zm_x), v.Zx);
    v.Zy = hn::IfThenElse(lane, hn::Set(d, Zm_y), v.Zy);
    v.zx = hn::IfThenElse(lane, hn::Set(d, Zm_x + s.dx), v.zx);
    v.zy = hn::IfThenElse(lane, hn::Set(d, Zm_y + s.dy), v.zy);
    v.dcx = hn::IfThenElse(lane, hn::Set(d, dc.dx()), v.dcx);
    v.dcy = hn::IfThenElse(lane, hn::Set(d, dc.dy()), v.dcy);
    v.m = hn::IfThenElse(hn::RebindMask(di, lane), hn::Set(di, s.m), v.m);
  }

  static constexpr int kClaim = 16;
  const Perturber& p_;
  CountJob& job_;
  const int steps_;
  const size_t L_;
  int next_ = 0, end_ = 0;
  int active_ = 0;
  int point_[K * kMax];              // the lane's point; -1 when idle
  bool lowdc_[K * kMax];             // |δc| below the double range: tiny δ goes back to it
  std::int64_t n0_[K * kMax];        // steps made before the lane took the point
  std::int64_t start_[K * kMax];     // step number when it took it
  std::int64_t deadline_[K * kMax];  // step number at which the count reaches the limit
  std::int64_t soonest_[K];          // earliest deadline per vector, or the orbit's end
  std::int64_t deadline_soon_[K];    // earliest deadline per vector
  std::uint64_t lowdc_bits_[K];      // lanes with lowdc_ and a point, per vector
  bool skips_[K * kMax];             // the point may take skips (in doubles)
  bool skips_ok_[K];                 // every lane of the vector may
};

void CountLanes(const Perturber* p, CountJob* job) {
  const D d;
  const DI di;
  Lanes lanes(*p, *job);
  // Each vector counts its own steps: a skip moves one vector on by many at once.
#define ZD_START(k)               \
  Vec v##k = lanes.Load(k);       \
  std::int64_t it##k = 0;         \
  std::int64_t soon##k = lanes.Soon(k);
  ZD_EACH_VECTOR(ZD_START)
#undef ZD_START
  if (lanes.Done()) return;
  const double* zxs = p->Zx;
  const double* zys = p->Zy;
  const BlaTable* bla = p->bla;
  const VI one = hn::Set(di, 1), endv = hn::Set(di, p->end);
  const V nine = hn::Set(d, 9.0);
  const M all = hn::Eq(nine, nine);
#define ZD_DECLARE(k) M in##k, rb##k;
#define ZD_CALM(k) calm = hn::And(calm, hn::AndNot(rb##k, in##k));
#define ZD_DUE(k) || it##k >= soon##k
#define ZD_HANDOVER(k)                                                   \
  if (!hn::AllTrue(d, hn::AndNot(rb##k, in##k)) || it##k >= soon##k) { \
    v##k = lanes.Handover(k, it##k, in##k, rb##k, v##k);                \
    soon##k = lanes.Soon(k);                                             \
  }
#define ZD_SAME(k) &&v##k.same
  // The whole vector at the end of the orbit, none escaped and no limit reached: all lanes
  // rebase (δ <- z, m <- 0) in the registers.
#define ZD_AT_END(k)                                                                         \
  if (v##k.same && v##k.mk == p->end && hn::AllTrue(d, in##k) && it##k < lanes.Deadline(k) && \
      !lanes.LowDc(k)) {                                                                     \
    Rebase(v##k, all);                                                                       \
    soon##k = std::min(lanes.Deadline(k), it##k + p->end);                                   \
    rb##k = hn::Not(all);                                                                    \
  }
  // Lanes with |z| < |δ| (or at the end of the orbit, with their own indices) rebase in the
  // registers too, unless a lane may have to go back to extended range.
#define ZD_REBASE(k)                                   \
  {                                                    \
    const M r = hn::And(rb##k, in##k);                 \
    if (!hn::AllFalse(d, r) && !lanes.LowDc(k)) {      \
      const bool was_same = v##k.same;                 \
      Rebase(v##k, r);                                 \
      rb##k = hn::Not(all);                            \
      if (v##k.same != was_same) {                     \
        soon##k = v##k.same ? std::min(lanes.Deadline(k), it##k + p->end) : lanes.Deadline(k); \
      }                                                \
    }                                                  \
  }
  for (;;) {
    M calm = all;
    if (true ZD_EACH_VECTOR(ZD_SAME)) {
      // Every vector at one index: no gathers and no test of it per vector, and skips where
      // they hold, until something happens.
#define ZD_STEP(k)                                                                              \
  if (!(lanes.SkipsOk(k) && Skip(v##k, it##k, soon##k, *bla, zxs, zys, nine, in##k, rb##k))) { \
    ++it##k;                                                                                    \
    Step<true>(v##k, zxs, zys, one, endv, nine, in##k, rb##k);                                 \
  }                                                                                             \
  ZD_CALM(k)
      for (;;) {
        ZD_EACH_VECTOR(ZD_DECLARE)
        calm = all;
        ZD_EACH_VECTOR(ZD_STEP)
        if (HWY_UNLIKELY(!hn::AllTrue(d, calm) ZD_EACH_VECTOR(ZD_DUE))) {
          ZD_EACH_VECTOR(ZD_AT_END)
          ZD_EACH_VECTOR(ZD_REBASE)
          calm = all;
          ZD_EACH_VECTOR(ZD_CALM)
          if (hn::AllTrue(d, calm) && !(false ZD_EACH_VECTOR(ZD_DUE)) && (true ZD_EACH_VECTOR(ZD_SAME))) continue;
          ZD_EACH_VECTOR(ZD_HANDOVER)
          break;
        }
      }
#undef ZD_STEP
    } else {
#define ZD_STEP(k) \
  ++it##k;         \
  calm = hn::And(calm, Step(v##k, zxs, zys, one, endv, nine, in##k, rb##k));
      ZD_EACH_VECTOR(ZD_DECLARE)
      ZD_EACH_VECTOR(ZD_STEP)
#undef ZD_STEP
      if (HWY_LIKELY(hn::AllTrue(d, calm) && !(false ZD_EACH_VECTOR(ZD_DUE)))) continue;
      ZD_EACH_VECTOR(ZD_AT_END)
      ZD_EACH_VECTOR(ZD_REBASE)
      calm = all;
      ZD_EACH_VECTOR(ZD_CALM)
      if (hn::AllTrue(d, calm) && !(false ZD_EACH_VECTOR(ZD_DUE))) continue;
      ZD_EACH_VECTOR(ZD_HANDOVER)
    }
    if (lanes.Done()) return;
  }
#undef ZD_SAME
#undef ZD_AT_END
#undef ZD_REBASE
#undef ZD_CALM
#undef ZD_DECLARE
#undef ZD_DUE
#undef ZD_HANDOVER
}

#endif  // vector targets

}  // namespace HWY_NAMESPACE
}  // namespace deep
}  // namespace zd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace zd::deep {

namespace {

using Entry = void (*)(const Perturber*, CountJob*);
struct Target {
  std::int64_t bit;
  Entry entry;
};

// Every target compiled in; the one used is the one counts.cpp chose from the CPU's flags.
constexpr Target kTargets[] = {
#if HWY_ARCH_X86
#if HWY_TARGETS & HWY_AVX3
    {HWY_AVX3, &N_AVX3::CountLanes},
#endif
#if HWY_TARGETS & HWY_AVX2
    {HWY_AVX2, &N_AVX2::CountLanes},
#endif
#if HWY_TARGETS & HWY_SSE4
    {HWY_SSE4, &N_SSE4::CountLanes},
#endif
#if HWY_TARGETS & HWY_SSSE3
    {HWY_SSSE3, &N_SSSE3::CountLanes},
#endif
#if HWY_TARGETS & HWY_EMU128
    {HWY_EMU128, &N_EMU128::CountLanes},
#endif
#if HWY_TARGETS & HWY_SCALAR
    {HWY_SCALAR, &N_SCALAR::CountLanes},
#endif
#else
    {HWY_STATIC_TARGET, &HWY_STATIC_DISPATCH(CountLanes)},
#endif
};

}  // namespace

void count_lanes(const Perturber& p, CountJob& job) {
  const std::int64_t bit = counts_target_bit();
  for (const Target& t : kTargets) {
    if (t.bit == bit) return t.entry(&p, &job);
  }
  return std::end(kTargets)[-1].entry(&p, &job);  // the portable one
}

}  // namespace zd::deep
#endif  // HWY_ONCE
