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
  return p.run(*dc, s, steps, false, true);
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
      if (n < 0) n = p->run(dc, &s, steps, false, false);
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

// Independent vectors stepped together, as in counts.cpp; each keeps nine registers (δ, z, Z,
// δc, index), so fewer fit than there.
#undef ZD_EACH_VECTOR
#if HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3  // AVX2 and SSE: 16 registers
constexpr int K = 1;
#define ZD_EACH_VECTOR(X) X(0)
#else  // AVX-512, NEON, SVE: 32 registers
constexpr int K = 2;
#define ZD_EACH_VECTOR(X) X(0) X(1)
#endif

// One step of every lane, the operations of Perturber::run's double step in the same order:
// δ <- (Z_m + z) δ - δc, m <- m + 1, z = Z_m + δ. `in` says which lanes are still inside the
// escape radius (false for a NaN), `rebase` which have |z| < |δ|.
HWY_INLINE void Step(V& dx, V& dy, V& zx, V& zy, V& Zx, V& Zy, VI& m, const V dcx, const V dcy,
                     const double* zxs, const double* zys, const VI one, const V nine, M& in, M& rebase) {
  const D d;
  const V wx = hn::Add(Zx, zx), wy = hn::Add(Zy, zy);
  const V nx = hn::Sub(hn::Sub(hn::Mul(wx, dx), hn::Mul(wy, dy)), dcx);
  const V ny = hn::Sub(hn::Add(hn::Mul(wx, dy), hn::Mul(wy, dx)), dcy);
  m = hn::Add(m, one);
  Zx = hn::GatherIndex(d, zxs, m);
  Zy = hn::GatherIndex(d, zys, m);
  zx = hn::Add(Zx, nx);
  zy = hn::Add(Zy, ny);
  dx = nx;
  dy = ny;
  const V zz = hn::Add(hn::Mul(zx, zx), hn::Mul(zy, zy));
  const V dd = hn::Add(hn::Mul(nx, nx), hn::Mul(ny, ny));
  in = hn::Lt(zz, nine);
  rebase = hn::Lt(zz, dd);
}

// The lanes' bookkeeping, in scalars, as counts.cpp's Lanes: each lane runs its own point and
// takes the next one when it ends; all lanes step together, so a lane's count is the steps it
// has made since it started plus the steps its point made before (on the scalar path). Besides
// the limit, each lane has a second deadline, the step at which its index reaches the end of
// the stored orbit and it must rebase.
class Lanes {
 public:
  static constexpr size_t kMax = hn::MaxLanes(D());
  static_assert(kMax <= 64, "lane sets are 64-bit words");
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  Lanes(const Perturber& p, CountJob& job)
      : p_(p), job_(job), steps_(std::max(job.limit, 1)), L_(hn::Lanes(D())) {}

  bool Done() const { return active_ == 0; }
  std::int64_t Soonest() const { return *std::min_element(soonest_, soonest_ + K); }

  // Vector k's first points.
  void Load(int k, V& dx, V& dy, V& zx, V& zy, V& Zx, V& Zy, VI& m, V& dcx, V& dcy) {
    const D d;
    const DI di;
    dx = dy = zx = zy = Zx = Zy = dcx = dcy = hn::Zero(d);
    m = hn::Zero(di);
    for (size_t j = 0; j < L_; ++j) {
      const M lane = Mask(std::uint64_t{1} << j);
      Take(k * L_ + j, 0, lane, dx, dy, zx, zy, Zx, Zy, m, dcx, dcy);
    }
    soonest_[k] = Earliest(k);
  }

  // After step it: records the counts of vector k's lanes that have ended and starts them
  // afresh; rebases the lanes that need it.
  HWY_INLINE void Handover(int k, std::int64_t it, M in, M rebase, V& dx, V& dy, V& zx, V& zy,
                           V& Zx, V& Zy, VI& m, V& dcx, V& dcy) {
    const D d;
    const DI di;
    if (hn::AllTrue(d, in) && hn::AllFalse(d, rebase) && it < soonest_[k]) return;
    const size_t o = k * L_;
    const std::uint64_t escaped = Bits(hn::Not(in));
    std::uint64_t ended = 0, rebased = Bits(rebase) & ~escaped;
    for (size_t j = 0; j < L_; ++j) {
      const size_t i = o + j;
      const std::uint64_t bit = std::uint64_t{1} << j;
      if (point_[i] < 0) {  // idle: never counted, only kept inside the orbit
        if ((escaped & bit) || refend_[i] <= it) rebased |= bit;
        continue;
      }
      if ((escaped & bit) || deadline_[i] <= it) {
        ended |= bit;
        rebased &= ~bit;
      } else if (refend_[i] <= it) {
        rebased |= bit;
      }
    }
    if (rebased != 0) {
      const M r = Mask(rebased);
      dx = hn::IfThenElse(r, zx, dx);
      dy = hn::IfThenElse(r, zy, dy);
      Zx = hn::IfThenZeroElse(r, Zx);
      Zy = hn::IfThenZeroElse(r, Zy);
      m = hn::IfThenZeroElse(hn::RebindMask(di, r), m);
      for (std::uint64_t e = rebased; e != 0; e &= e - 1) {
        const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
        const size_t i = o + j;
        refend_[i] = it + p_.end;
        if (point_[i] < 0) {
          // An idle lane whose c escapes at once: start it over from 0.
          const M lane = Mask(std::uint64_t{1} << j);
          dx = hn::IfThenZeroElse(lane, dx);
          dy = hn::IfThenZeroElse(lane, dy);
          zx = hn::IfThenZeroElse(lane, zx);
          zy = hn::IfThenZeroElse(lane, zy);
          continue;
        }
        const double x = hn::ExtractLane(zx, j), y = hn::ExtractLane(zy, j);
        if (lowdc_[i] && std::max(std::fabs(x), std::fabs(y)) < kSmallDelta) {
          // Back to extended range: the scalar loop finishes the point.
          State s;
          s.n = static_cast<int>(n0_[i] + (it - start_[i]));
          s.m = 0;
          s.d = CFloatExp(x, y);
          job_.out[point_[i]] = p_.run(p_.dc(job_.cx[point_[i]], job_.cy[point_[i]]), &s, steps_, false, false);
          ended |= std::uint64_t{1} << j;
          point_done_[i] = true;
        }
      }
    }
    for (std::uint64_t e = ended; e != 0; e &= e - 1) {
      const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
      const size_t i = o + j;
      if (!point_done_[i]) {
        const std::int64_t uncounted = static_cast<std::int64_t>((escaped >> j) & 1);
        job_.out[point_[i]] = static_cast<int>(n0_[i] + (it - start_[i]) - uncounted);
      }
      --active_;
      Take(i, it, Mask(std::uint64_t{1} << j), dx, dy, zx, zy, Zx, Zy, m, dcx, dcy);
    }
    soonest_[k] = Earliest(k);
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
  // that end on the scalar path before they run in doubles are counted here.
  void Take(size_t i, std::int64_t it, M lane, V& dx, V& dy, V& zx, V& zy, V& Zx, V& Zy, VI& m,
            V& dcx, V& dcy) {
    const D d;
    const DI di;
    point_done_[i] = false;
    for (;;) {
      const int pt = Claim();
      if (pt < 0) break;
      CFloatExp dc;
      State s;
      const int n = Start(p_, job_, pt, steps_, &dc, &s);
      if (n >= 0) {
        job_.out[pt] = n;
        continue;
      }
      point_[i] = pt;
      n0_[i] = s.n;
      start_[i] = it;
      deadline_[i] = it + (steps_ - s.n);
      refend_[i] = it + (p_.end - s.m);
      lowdc_[i] = !Perturber::dc_in_doubles(dc);
      ++active_;
      const double Zm_x = p_.Zx[s.m], Zm_y = p_.Zy[s.m];
      dx = hn::IfThenElse(lane, hn::Set(d, s.dx), dx);
      dy = hn::IfThenElse(lane, hn::Set(d, s.dy), dy);
      Zx = hn::IfThenElse(lane, hn::Set(d, Zm_x), Zx);
      Zy = hn::IfThenElse(lane, hn::Set(d, Zm_y), Zy);
      zx = hn::IfThenElse(lane, hn::Set(d, Zm_x + s.dx), zx);
      zy = hn::IfThenElse(lane, hn::Set(d, Zm_y + s.dy), zy);
      dcx = hn::IfThenElse(lane, hn::Set(d, dc.dx()), dcx);
      dcy = hn::IfThenElse(lane, hn::Set(d, dc.dy()), dcy);
      m = hn::IfThenElse(hn::RebindMask(di, lane), hn::Set(di, s.m), m);
      return;
    }
    // Nothing left: the lane idles at c = the reference point (δ = δc = 0).
    point_[i] = -1;
    deadline_[i] = kNever;
    refend_[i] = it + p_.end;
    dx = hn::IfThenZeroElse(lane, dx);
    dy = hn::IfThenZeroElse(lane, dy);
    zx = hn::IfThenZeroElse(lane, zx);
    zy = hn::IfThenZeroElse(lane, zy);
    Zx = hn::IfThenZeroElse(lane, Zx);
    Zy = hn::IfThenZeroElse(lane, Zy);
    dcx = hn::IfThenZeroElse(lane, dcx);
    dcy = hn::IfThenZeroElse(lane, dcy);
    m = hn::IfThenZeroElse(hn::RebindMask(di, lane), m);
  }

  std::int64_t Earliest(int k) const {
    std::int64_t t = kNever;
    for (size_t i = k * L_; i < (k + 1) * L_; ++i) t = std::min({t, deadline_[i], refend_[i]});
    return t;
  }

  static constexpr int kClaim = 16;
  const Perturber& p_;
  CountJob& job_;
  const int steps_;
  const size_t L_;
  int next_ = 0, end_ = 0;
  int active_ = 0;
  int point_[K * kMax];
  bool point_done_[K * kMax];        // counted by the scalar loop after leaving the lane
  bool lowdc_[K * kMax];             // |δc| below the double range: tiny δ goes back to it
  std::int64_t n0_[K * kMax];        // steps made before the lane took the point
  std::int64_t start_[K * kMax];     // step number when it took it
  std::int64_t deadline_[K * kMax];  // step number at which the count reaches the limit
  std::int64_t refend_[K * kMax];    // step number at which the index reaches the orbit's end
  std::int64_t soonest_[K];          // earliest of both, per vector
};

void CountLanes(const Perturber* p, CountJob* job) {
  const D d;
  const DI di;
  Lanes lanes(*p, *job);
#define ZD_START(k)                                           \
  V dx##k, dy##k, zx##k, zy##k, Zx##k, Zy##k, dcx##k, dcy##k; \
  VI m##k;                                                    \
  lanes.Load(k, dx##k, dy##k, zx##k, zy##k, Zx##k, Zy##k, m##k, dcx##k, dcy##k);
  ZD_EACH_VECTOR(ZD_START)
#undef ZD_START
  if (lanes.Done()) return;
  const double* zxs = p->Zx;
  const double* zys = p->Zy;
  const VI one = hn::Set(di, 1);
  const V nine = hn::Set(d, 9.0);
  std::int64_t soonest = lanes.Soonest();
  for (std::int64_t it = 1;; ++it) {
#define ZD_STEP(k) \
  M in##k, rb##k;  \
  Step(dx##k, dy##k, zx##k, zy##k, Zx##k, Zy##k, m##k, dcx##k, dcy##k, zxs, zys, one, nine, in##k, rb##k);
    ZD_EACH_VECTOR(ZD_STEP)
#undef ZD_STEP
    M calm = hn::AndNot(rb0, in0);
#define ZD_AND(k) calm = hn::And(calm, hn::AndNot(rb##k, in##k));
    ZD_EACH_VECTOR(ZD_AND)
#undef ZD_AND
    if (HWY_LIKELY(hn::AllTrue(d, calm) && it < soonest)) continue;
#define ZD_HANDOVER(k) \
  lanes.Handover(k, it, in##k, rb##k, dx##k, dy##k, zx##k, zy##k, Zx##k, Zy##k, m##k, dcx##k, dcy##k);
    ZD_EACH_VECTOR(ZD_HANDOVER)
#undef ZD_HANDOVER
    if (lanes.Done()) return;
    soonest = lanes.Soonest();
  }
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
