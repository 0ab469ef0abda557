// counts.cpp — the vector kernel: escape_count on every lane, built once per target, chosen at run time.
#include "compute/counts.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "compute/escape.h"
#include "compute/kernel.h"

// Highway compiles this file once per target (AVX-512, AVX2, SSE4, NEON, ... and a portable
// fallback) and dispatches to the best one the machine runs.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/counts.cpp"
#include <hwy/foreach_target.h>  // before highway.h
#include <hwy/highway.h>

#include "compute/lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace zd {
namespace HWY_NAMESPACE {

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128

// No vector unit to use: the scalar kernel itself. It looks for a stop between points only.
void EscapeCounts(CountJob* job) {
  const bool more = job->smooth || job->distance;
  for (;;) {
    const int first = job->next.fetch_add(16, std::memory_order_relaxed);
    if (first >= job->n) return;
    for (int i = first; i < std::min(first + 16, job->n); ++i) {
      if (job->poll) job->poll();
      if (job->stopped()) {
        job->out[i] = -1;
      } else if (!more) {
        job->out[i] = escape_count(job->cx[i], job->cy[i], job->limit);
      } else {
        double zx, zy, dx, dy;
        job->out[i] = escape_count(job->cx[i], job->cy[i], job->limit, job->pitch, &zx, &zy, &dx, &dy);
        record_escape(*job, i, zx, zy, dx, dy);
      }
    }
  }
}

#else

namespace hn = hwy::HWY_NAMESPACE;
using D = hn::ScalableTag<double>;
using V = hn::Vec<D>;
using M = hn::Mask<D>;

// Independent vectors stepped together. A step's dependency chain (square, subtract, subtract,
// multiply, ...) takes about 8 cycles per vector, while one vector's nine operations occupy the
// adders and multipliers for about 2.5: several vectors must be in flight. Each one keeps six
// registers (x, y, xx, yy, cx, cy), which bounds their number by the register file; the counts
// below were the fastest measured. They are named variables, not arrays, which would end up in
// memory.
#undef ZD_EACH_VECTOR
#if HWY_ARCH_X86 && HWY_TARGET > HWY_AVX3  // AVX2 and SSE: 16 registers
constexpr int K = 3;
#define ZD_EACH_VECTOR(X) X(0) X(1) X(2)
#else  // AVX-512, NEON, SVE: 32 registers
constexpr int K = 5;
#define ZD_EACH_VECTOR(X) X(0) X(1) X(2) X(3) X(4)
#endif

// One step of a vector's lanes in escape_count's order: separate multiplies and subtractions,
// never fused (pictures must be bit-exact). The result says which lanes are still inside;
// it is false for a NaN sum, as in the scalar test.
HWY_INLINE M Step(V& x, V& y, V& xx, V& yy, const V cx, const V cy, const V two, const V nine) {
  const V xn = hn::Sub(hn::Sub(xx, yy), cx);
  const V yn = hn::Sub(hn::Mul(hn::Mul(two, x), y), cy);
  xx = hn::Mul(xn, xn);
  yy = hn::Mul(yn, yn);
  x = xn;
  y = yn;
  return hn::Lt(hn::Add(xx, yy), nine);
}

// log2_of (escape.h) on every lane, the same operations in the same order, for x >= 1 or a NaN
// (no subnormals).
HWY_INLINE V Log2(V x) {
  const D d;
  const hn::RebindToSigned<D> di;
  const auto bits = hn::BitCast(di, x);
  V e = hn::Sub(hn::ConvertTo(d, hn::And(hn::ShiftRight<52>(bits), hn::Set(di, 0x7ff))), hn::Set(d, 1023.0));
  V m = hn::BitCast(d, hn::Or(hn::And(bits, hn::Set(di, static_cast<std::int64_t>(~(std::uint64_t{0x7ff} << 52)))),
                              hn::Set(di, std::int64_t{1023} << 52)));
  const M big = hn::Gt(m, hn::Set(d, 1.4142135623730951));
  m = hn::IfThenElse(big, hn::Mul(m, hn::Set(d, 0.5)), m);
  e = hn::IfThenElse(big, hn::Add(e, hn::Set(d, 1.0)), e);
  const V one = hn::Set(d, 1.0);
  const V s = hn::Div(hn::Sub(m, one), hn::Add(m, one)), s2 = hn::Mul(s, s);
  V series = hn::Mul(s2, hn::Set(d, 1.0 / 9.0));
  series = hn::Mul(s2, hn::Add(hn::Set(d, 1.0 / 7.0), series));
  series = hn::Mul(s2, hn::Add(hn::Set(d, 1.0 / 5.0), series));
  series = hn::Mul(s2, hn::Add(hn::Set(d, 1.0 / 3.0), series));
  series = hn::Mul(s, hn::Add(one, series));
  return hn::Add(e, hn::Mul(series, hn::Set(d, 2.0 / 0.6931471805599453)));
}

// Continuous counts of escaped points, on every lane: escape_of without the derivative, bit for
// bit. In: z where each point escaped, c, and its count plus one. n a multiple of the lanes.
void ContinuousCounts(const double* zx_in, const double* zy_in, const double* cx_in, const double* cy_in,
                      const double* steps_in, double* nu, size_t n) {
  const D d;
  const V far = hn::Set(d, 0x1p20), two = hn::Set(d, 2.0), one = hn::Set(d, 1.0);
  for (size_t i = 0; i < n; i += hn::Lanes(d)) {
    V zx = hn::Load(d, zx_in + i), zy = hn::Load(d, zy_in + i);
    const V cx = hn::Load(d, cx_in + i), cy = hn::Load(d, cy_in + i);
    V steps = hn::Load(d, steps_in + i);
    V zz = hn::Add(hn::Mul(zx, zx), hn::Mul(zy, zy));
    for (int k = 0; k < 64; ++k) {
      const M going = hn::Lt(zz, far);
      if (hn::AllFalse(d, going)) break;
      const V nx = hn::Sub(hn::Sub(hn::Mul(zx, zx), hn::Mul(zy, zy)), cx);
      const V ny = hn::Sub(hn::Mul(hn::Mul(two, zx), zy), cy);
      zx = hn::IfThenElse(going, nx, zx);
      zy = hn::IfThenElse(going, ny, zy);
      zz = hn::IfThenElse(going, hn::Add(hn::Mul(nx, nx), hn::Mul(ny, ny)), zz);
      steps = hn::IfThenElse(going, hn::Add(steps, one), steps);
    }
    const V l = Log2(zz);
    hn::Store(hn::Sub(hn::Add(steps, one), Log2(hn::Div(l, hn::Set(d, 20.0)))), d, nu + i);
  }
}

// The lanes' bookkeeping, kept in scalars: it is touched only when a lane ends.
//
// Each lane runs its own point. A lane whose point ends takes the next unstarted point at
// once, so a few slow points hold back only their own lanes. Lanes with nothing left to do
// iterate c = 0, which stays at 0 and never ends.
//
// No per-lane step counter: all lanes step together, so a lane's count is the number of steps
// since it started (minus one if the last step left the radius), and the limit test becomes a
// comparison of the common step number with the earliest deadline of any lane.
class Lanes {
 public:
  static constexpr size_t kMax = hn::MaxLanes(D());
  static_assert(kMax <= 64, "lane sets are 64-bit words");
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

  // vectors: how many the loop steps together (at most K).
  Lanes(CountJob& job, int vectors)
      : job_(job), cx_(job.cx), cy_(job.cy), n_(job.n), steps_(std::max(job.limit, 1)),
        out_(job.out), L_(hn::Lanes(D())), vectors_(vectors),
        more_(job.smooth != nullptr || job.distance != nullptr),
        counts_only_(job.smooth != nullptr && job.distance == nullptr) {
    for (size_t i = 0; i < vectors_ * L_; ++i) TakeNext(i, 0, Claim());
    for (int k = 0; k < K; ++k) vec_deadline_[k] = k < vectors_ ? EarliestDeadline(k) : kNever;
  }

  ~Lanes() { Finish(); }

  bool Done() const { return active_ == 0; }

  // Leaves -1 for every point this call holds or has yet to start, and takes the rest of the
  // job so that nobody starts them.
  void Abandon() {
    for (size_t i = 0; i < vectors_ * L_; ++i) {
      if (point_[i] >= 0) out_[point_[i]] = -1;
    }
    claims_.abandon();
    active_ = 0;
  }
  std::int64_t Soonest() const { return *std::min_element(vec_deadline_, vec_deadline_ + K); }

  // Vector k's first points.
  HWY_INLINE void Load(int k, V& x, V& y, V& xx, V& yy, V& cx, V& cy) const {
    const D d;
    x = y = xx = yy = hn::Zero(d);
    cx = hn::Load(d, cx_lane_ + k * L_);
    cy = hn::Load(d, cy_lane_ + k * L_);
  }

  // After step it: records the counts of vector k's lanes that have ended and starts them
  // afresh on new points. The new coordinates are blended into the registers lane by lane:
  // storing the vector, changing lanes in memory and loading it again would stall on the
  // failed store-to-load forwarding, and short orbits make this path frequent.
  // u, v: the derivative, when the loop carries one (else unused).
  HWY_INLINE void Handover(int k, std::int64_t it, M inside, V& x, V& y, V& xx, V& yy, V& cx,
                           V& cy, V& u, V& v) {
    const D d;
    if (hn::AllTrue(d, inside) && it < vec_deadline_[k]) return;
    const size_t o = k * L_;
    const std::uint64_t escaped = Bits(hn::Not(inside));  // idle lanes never leave
    std::uint64_t ended = escaped;
    if (it >= vec_deadline_[k]) {
      for (size_t j = 0; j < L_; ++j) {
        if (deadline_[o + j] <= it) ended |= std::uint64_t{1} << j;
      }
    }
    HWY_ALIGN double zx[kMax], zy[kMax], ux[kMax], vy[kMax];
    if (more_) {
      hn::Store(x, d, zx);
      hn::Store(y, d, zy);
    }
    if (more_ && !counts_only_) {
      hn::Store(u, d, ux);
      hn::Store(v, d, vy);
    }
    const M fresh = Mask(ended);
    x = hn::IfThenZeroElse(fresh, x);
    y = hn::IfThenZeroElse(fresh, y);
    xx = hn::IfThenZeroElse(fresh, xx);
    yy = hn::IfThenZeroElse(fresh, yy);
    u = hn::IfThenZeroElse(fresh, u);
    v = hn::IfThenZeroElse(fresh, v);
    for (std::uint64_t e = ended; e != 0; e &= e - 1) {
      const size_t j = static_cast<size_t>(hwy::Num0BitsBelowLS1Bit_Nonzero64(e));
      const size_t i = o + j;
      // Left the radius at this step: the step was not counted. Otherwise the limit.
      const std::int64_t uncounted = static_cast<std::int64_t>((escaped >> j) & 1);
      const int count = static_cast<int>(it - start_[i] - uncounted);
      out_[point_[i]] = count;
      if (counts_only_) {
        Pend(point_[i], count, zx[j], zy[j]);
      } else if (more_) {
        record_escape(job_, point_[i], zx[j], zy[j], ux[j], vy[j]);
      }
      --active_;
      const M lane = Mask(std::uint64_t{1} << j);
      const int p = Claim();
      if (p >= 0) {
        cx = hn::IfThenElse(lane, hn::Set(d, cx_[p]), cx);
        cy = hn::IfThenElse(lane, hn::Set(d, cy_[p]), cy);
      } else {
        cx = hn::IfThenZeroElse(lane, cx);
        cy = hn::IfThenZeroElse(lane, cy);
      }
      TakeNext(i, it, p);
    }
    vec_deadline_[k] = EarliestDeadline(k);
  }

 private:
  // Continuous counts without distances are finished a vector at a time, not point by point:
  // escaped points wait here for a batch.
  void Pend(int p, int count, double zx, double zy) {
    if (count >= steps_) {  // the limit
      job_.smooth[p] = count;
      return;
    }
    pend_point_[pending_] = p;
    pend_zx_[pending_] = zx;
    pend_zy_[pending_] = zy;
    pend_cx_[pending_] = cx_[p];
    pend_cy_[pending_] = cy_[p];
    pend_steps_[pending_] = static_cast<double>(count) + 1.0;  // z is the value of that step
    if (++pending_ == kPend) Finish();
  }
  void Finish() {
    if (pending_ == 0) return;
    const size_t n = (pending_ + L_ - 1) / L_ * L_;
    for (size_t i = pending_; i < n; ++i) {  // far out already: no steps
      pend_zx_[i] = 0x1p20;
      pend_zy_[i] = pend_cx_[i] = pend_cy_[i] = pend_steps_[i] = 0.0;
    }
    HWY_ALIGN double nu[kPend];
    ContinuousCounts(pend_zx_, pend_zy_, pend_cx_, pend_cy_, pend_steps_, nu, n);
    for (size_t i = 0; i < pending_; ++i) job_.smooth[pend_point_[i]] = nu[i];
    pending_ = 0;
  }

  static std::uint64_t Bits(M m) { return LaneBits(D(), m); }
  static M Mask(std::uint64_t w) { return LaneMask(D(), w); }
  int Claim() { return claims_.take(); }

  // Lane i's point p (or idleness for -1), as the registers will hold it.
  void TakeNext(size_t i, std::int64_t it, int p) {
    if (p >= 0) {
      point_[i] = p;
      cx_lane_[i] = cx_[p];
      cy_lane_[i] = cy_[p];
      start_[i] = it;
      deadline_[i] = it + steps_;
      ++active_;
    } else {
      point_[i] = -1;
      cx_lane_[i] = cy_lane_[i] = 0.0;
      deadline_[i] = kNever;
    }
  }
  std::int64_t EarliestDeadline(int k) const {
    std::int64_t m = kNever;
    for (size_t i = k * L_; i < (k + 1) * L_; ++i) m = std::min(m, deadline_[i]);
    return m;
  }

  CountJob& job_;
  Claims claims_{job_};
  const double* cx_;
  const double* cy_;
  const int n_;
  const std::int64_t steps_;  // steps at which the count reaches the limit; at least one
  int* out_;
  const size_t L_;
  const int vectors_;
  const bool more_;  // the job asks for continuous counts or distances
  const bool counts_only_;  // continuous counts without distances
  int active_ = 0;   // lanes with a point
  static constexpr size_t kPend = 4 * kMax;  // a multiple of the lanes
  size_t pending_ = 0;
  int pend_point_[kPend];
  HWY_ALIGN double pend_zx_[kPend];
  HWY_ALIGN double pend_zy_[kPend];
  HWY_ALIGN double pend_cx_[kPend];
  HWY_ALIGN double pend_cy_[kPend];
  HWY_ALIGN double pend_steps_[kPend];
  HWY_ALIGN double cx_lane_[K * kMax];
  HWY_ALIGN double cy_lane_[K * kMax];
  int point_[K * kMax];              // index of the lane's point, -1 when idle
  std::int64_t start_[K * kMax];     // step number before the lane's first step
  std::int64_t deadline_[K * kMax];  // step number at which the count reaches the limit
  std::int64_t vec_deadline_[K];     // earliest deadline within each vector
};

// Read at run time so that the compiler cannot turn (2.0 * x) into (x + x): the same value, but
// it would move a multiply to the adders, which already carry the subtractions, the sum and
// the comparison, and leave the multipliers idle.
volatile double two_at_run_time = 2.0;

// One step of a vector's lanes with the derivative D = dz/dc times the pitch alongside:
// D <- 2 z D - pitch from the values before the step, then Step's own operations.
HWY_INLINE M StepD(V& x, V& y, V& xx, V& yy, V& u, V& v, const V cx, const V cy, const V two,
                   const V nine, const V pitch) {
  const V un = hn::Sub(hn::Mul(two, hn::Sub(hn::Mul(x, u), hn::Mul(y, v))), pitch);
  const V vn = hn::Mul(two, hn::Add(hn::Mul(x, v), hn::Mul(y, u)));
  u = un;
  v = vn;
  return Step(x, y, xx, yy, cx, cy, two, nine);
}

void EscapeCounts(CountJob* job) {
  const D d;
  // With distances the loop carries the derivative too: two vectors leave room for its
  // registers.
  const bool derivative = job->distance != nullptr;
  Lanes lanes(*job, derivative ? 2 : K);
  if (lanes.Done()) return;  // other threads took every point
  if (job->stopped()) {
    lanes.Abandon();
    return;
  }
  V none = hn::Zero(d);  // a derivative nobody steps
#define ZD_START(k)                    \
  V x##k, y##k, xx##k, yy##k, cx##k, cy##k; \
  lanes.Load(k, x##k, y##k, xx##k, yy##k, cx##k, cy##k);
  const V two = hn::Set(d, two_at_run_time);
  const V nine = hn::Set(d, 9.0);
  // A batch that may be abandoned looks at its stop every CHECK steps: folded into the
  // deadline test, so the loop pays nothing for it.
  constexpr std::int64_t CHECK = 1 << 14;
  const bool watched = job->stop || job->poll;
  std::int64_t next_check = watched ? CHECK : Lanes::kNever;
  std::int64_t soonest = std::min(lanes.Soonest(), next_check);
  if (derivative) {
    ZD_START(0)
    ZD_START(1)
    V u0 = hn::Zero(d), v0 = u0, u1 = u0, v1 = u0;
    const V pitch = hn::Set(d, job->pitch);
    for (std::int64_t it = 1;; ++it) {
      const M in0 = StepD(x0, y0, xx0, yy0, u0, v0, cx0, cy0, two, nine, pitch);
      const M in1 = StepD(x1, y1, xx1, yy1, u1, v1, cx1, cy1, two, nine, pitch);
      if (HWY_LIKELY(hn::AllTrue(d, hn::And(in0, in1)) && it < soonest)) continue;
      if (it >= next_check) {
        next_check = it + CHECK;
        if (job->poll) job->poll();
        if (job->stopped()) return lanes.Abandon();
      }
      lanes.Handover(0, it, in0, x0, y0, xx0, yy0, cx0, cy0, u0, v0);
      lanes.Handover(1, it, in1, x1, y1, xx1, yy1, cx1, cy1, u1, v1);
      if (lanes.Done()) return;
      soonest = std::min(lanes.Soonest(), next_check);
    }
  }
  ZD_EACH_VECTOR(ZD_START)
#undef ZD_START
  for (std::int64_t it = 1;; ++it) {
#define ZD_STEP(k) const M in##k = Step(x##k, y##k, xx##k, yy##k, cx##k, cy##k, two, nine);
    ZD_EACH_VECTOR(ZD_STEP)
#undef ZD_STEP
    M all = in0;
#define ZD_AND(k) all = hn::And(all, in##k);
    ZD_EACH_VECTOR(ZD_AND)
#undef ZD_AND
    if (HWY_LIKELY(hn::AllTrue(d, all) && it < soonest)) continue;
    if (it >= next_check) {
      next_check = it + CHECK;
      if (job->poll) job->poll();
      if (job->stopped()) {
        lanes.Abandon();
        return;
      }
    }
#define ZD_HANDOVER(k) lanes.Handover(k, it, in##k, x##k, y##k, xx##k, yy##k, cx##k, cy##k, none, none);
    ZD_EACH_VECTOR(ZD_HANDOVER)
#undef ZD_HANDOVER
    if (lanes.Done()) return;
    soonest = std::min(lanes.Soonest(), next_check);
  }
}

#endif  // vector targets

}  // namespace HWY_NAMESPACE
}  // namespace zd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "compute/targets.h"  // after highway.h: its list depends on HWY_TARGETS
namespace zd {

namespace {

using Entry = void (*)(CountJob*);
constexpr OnTarget<Entry> kCounts[] = {ZD_ON_EACH_TARGET(EscapeCounts)};

struct Target {
  std::int64_t bit;
  Entry counts;
  bool runs;  // on this machine
};

// The targets compiled in, best first, and whether this machine runs them. The choice is made
// here from the CPU's feature flags, with the feature lists Highway compiles each target for:
// Highway's own chooser lives in its shared library, which measures its timer when it is
// loaded and so adds milliseconds to the start of every zoomdive-render process.
std::vector<Target> compiled() {
  bool avx3 = false, avx2 = false, sse4 = false, ssse3 = false;
#if HWY_ARCH_X86
  __builtin_cpu_init();
  ssse3 = __builtin_cpu_supports("sse2") && __builtin_cpu_supports("ssse3");
  sse4 = ssse3 && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("sse4.2") &&
         __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("aes");
  avx2 = sse4 && __builtin_cpu_supports("avx") && __builtin_cpu_supports("avx2") &&
         __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
         __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
  avx3 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
#endif
  std::vector<Target> t;
  for (const OnTarget<Entry>& c : kCounts) {
    bool runs = true;  // the portable ones, and elsewhere the one the compiler was asked for
#if HWY_ARCH_X86
    if (c.bit == HWY_AVX3) runs = avx3;
    if (c.bit == HWY_AVX2) runs = avx2;
    if (c.bit == HWY_SSE4) runs = sse4;
    if (c.bit == HWY_SSSE3) runs = ssse3;
#endif
    t.push_back({c.bit, c.fn, runs});
  }
  static_cast<void>(avx3 || avx2 || sse4 || ssse3);
  return t;
}

const std::vector<Target>& targets() {
  static const std::vector<Target> t = compiled();
  return t;
}

const Target& best() {
  static const Target& b = []() -> const Target& {
    for (const Target& t : targets()) {
      if (t.runs) return t;
    }
    return targets().back();
  }();
  return b;
}

std::atomic<const Target*> chosen{nullptr};

const Target& current() {
  const Target* t = chosen.load(std::memory_order_acquire);
  return t ? *t : best();
}

}  // namespace

void escape_counts(CountJob& job) { current().counts(&job); }

void record_escape(CountJob& job, int i, double zx, double zy, double dx, double dy) {
  const int n = job.out[i];
  Escape e{static_cast<double>(n), 0.0};
  if (n >= 0 && n < std::max(job.limit, 1)) e = escape_of(n, zx, zy, dx, dy, job.cx[i], job.cy[i], job.pitch, job.distance != nullptr);
  if (job.smooth) job.smooth[i] = e.nu;
  if (job.distance) job.distance[i] = e.distance;
}

void escape_counts(const double* cx, const double* cy, int n, int limit, int* out) {
  CountJob job{cx, cy, out, n, limit};
  escape_counts(job);
}

const char* counts_target() { return hwy::TargetName(current().bit); }

std::int64_t counts_target_bit() { return current().bit; }

std::vector<std::int64_t> counts_targets() {
  std::vector<std::int64_t> bits;
  for (const Target& t : targets()) {
    if (t.runs) bits.push_back(t.bit);
  }
  return bits;
}

void counts_use_target(std::int64_t bit) {
  const Target* pick = nullptr;
  for (const Target& t : targets()) {
    if (t.bit == bit && t.runs) pick = &t;
  }
  chosen.store(pick, std::memory_order_release);
}

}  // namespace zd
#endif  // HWY_ONCE
