// test_deep.cpp — deep views: extended-range numbers, MPFR wrapper, reference orbits, and counts against MPFR.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <climits>
#include <cmath>
#include <iostream>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compute/bigfloat.h"
#include "compute/bla.h"
#include "compute/counts.h"
#include "compute/floatexp.h"
#include "compute/minibrot.h"
#include "compute/perturb.h"
#include "compute/poster.h"
#include "control/startup.h"
#include "control/view.h"
#include "deep_oracle.h"
#include "deep_views.h"
#include "navigation/loop.h"
#include "navigation/whole.h"
#include "platform/headless.h"
#include "platform/script.h"

namespace zd::test {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kShare = 3;  // sanitizers: a third of the points
#else
constexpr int kShare = 1;
#endif

// An MPFR number of `prec` bits; MPFR's own rounding is the reference for FloatExp's.
struct Mp {
  mpfr_t v;
  explicit Mp(long prec) { mpfr_init2(v, prec); }
  Mp(const Mp&) = delete;
  ~Mp() { mpfr_clear(v); }
};
void set(Mp& r, FloatExp x) {
  mpfr_set_d(r.v, x.m, MPFR_RNDN);
  if (!x.zero()) mpfr_mul_2si(r.v, r.v, static_cast<long>(x.e), MPFR_RNDN);
}
// x == r exactly, r rounded to 53 bits already.
bool same(FloatExp x, const Mp& r) {
  Mp t(64);
  set(t, x);
  return mpfr_equal_p(t.v, r.v) != 0;
}

TEST(FloatExp, ArithmeticRoundsOnceLikeMpfrAt53BitsAtAnyExponent) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> mant(-2.0, 2.0);
  std::uniform_int_distribution<int> exps(-40000, 40000), near(-70, 70);
  Mp r(53), a53(53), b53(53);
  int wrong = 0;
  for (int i = 0; i < 20000; ++i) {
    const FloatExp a = FloatExp::make(mant(rng), exps(rng));
    // Same-sized, close and far exponents: exact cancellations, alignment, absorption.
    const int eb = static_cast<int>(a.e) + (i % 3 == 0 ? exps(rng) : near(rng));
    const FloatExp b = FloatExp::make(i % 17 == 0 ? -a.m : mant(rng), i % 17 == 0 ? a.e : eb);
    set(a53, a);
    set(b53, b);
    const struct {
      FloatExp got;
      int (*op)(mpfr_ptr, mpfr_srcptr, mpfr_srcptr, mpfr_rnd_t);
    } ops[] = {{a + b, mpfr_add}, {a - b, mpfr_sub}, {a * b, mpfr_mul}, {a / b, mpfr_div}};
    for (const auto& o : ops) {
      o.op(r.v, a53.v, b53.v, MPFR_RNDN);
      if (!same(o.got, r) && ++wrong < 5) ADD_FAILURE() << a.m << "p" << a.e << " op " << b.m << "p" << b.e;
    }
    EXPECT_EQ(a < b, mpfr_less_p(a53.v, b53.v) != 0);
  }
  EXPECT_EQ(wrong, 0);
}

TEST(FloatExp, MatchesDoublesBitForBitInTheirRange) {
  // The view's zoom steps: * 0.9 in, / 0.9 out, from the default half-extent down to 1e-290.
  double d = 2.5;
  FloatExp f(2.5);
  for (int i = 0; i < 6400 && d > 1e-290; ++i) {
    d *= 0.9;
    f = f * 0.9;
    ASSERT_EQ(f.to_double(), d) << i;
  }
  for (int i = 0; i < 300; ++i) {
    d /= 0.9;
    f = f / 0.9;
    ASSERT_EQ(f.to_double(), d) << i;
  }
  // Conversions at the edges: to subnormals and zero below the range, infinity above.
  const struct {
    FloatExp x;
    double want;
  } edges[] = {
      {FloatExp::make(1.0, -1074), 0x1p-1074},
      {FloatExp::make(1.5, -1074), 0x1p-1073},  // a tie: to even
      {FloatExp::make(1.0, -1076), 0.0},        // below half the least subnormal
      {FloatExp::make(-1.0, -5000), -0.0},
      {FloatExp::make(1.75, 1023), 0x1.cp1023},
      {FloatExp::make(1.0, 1024), HUGE_VAL},
      {FloatExp::make(-1.5, 90000), -HUGE_VAL},
      {FloatExp(0x1p-1060), 0x1p-1060},  // a subnormal in, the same out
  };
  for (const auto& e : edges) {
    EXPECT_EQ(e.x.to_double(), e.want) << e.x.m << "p" << e.x.e;
    EXPECT_EQ(std::signbit(e.x.to_double()), std::signbit(e.want));
  }
}

TEST(BigFloat, ParsesPrintsAndReadsBackExactly) {
  std::mt19937 rng(3);
  for (long prec : {53L, 200L, 3400L, 33300L}) {
    std::string s = "-0.";
    for (int i = 0; i < prec / 3; ++i) s += static_cast<char>('0' + rng() % 10);
    s += "7e-" + std::to_string(prec);
    const auto x = BigFloat::parse(s, prec);
    ASSERT_TRUE(x) << s;
    EXPECT_EQ(x->precision(), prec);
    const auto back = BigFloat::parse(x->to_string(x->exact_digits()), prec);
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == *x) << prec;
    EXPECT_FALSE(*BigFloat::parse(x->to_string(8), prec) == *x) << "8 digits cannot hold " << prec << " bits";
    // The same value through MPFR's own parser, and to double / FloatExp by rounding once.
    Mp ref(prec);
    mpfr_set_str(ref.v, s.c_str(), 10, MPFR_RNDN);
    EXPECT_TRUE(mpfr_equal_p(ref.v, x->get()));
    Mp r53(53);
    mpfr_set(r53.v, ref.v, MPFR_RNDN);
    EXPECT_TRUE(same(x->to_floatexp(), r53));
  }
  for (const char* bad : {"", " 1", "1 ", "1e", "abc", "1.2.3", "inf", "nan", "--1", "0x10"}) {
    EXPECT_FALSE(BigFloat::parse(bad, 64)) << '"' << bad << '"';
  }
  EXPECT_EQ(BigFloat::parse("0.1", 300)->to_double(), 0.1);
  EXPECT_EQ(BigFloat::parse("1e-320", 300)->to_double(), 1e-320);
  EXPECT_EQ(BigFloat(0.1, 53).to_string(17), "1.0000000000000001e-1");
  // Results keep the wider operand's precision: a deep centre stays deep.
  const BigFloat deep = *BigFloat::parse("1.000000000000000000000000000001", 200);
  EXPECT_EQ((deep * 0.9).precision(), 200);
  EXPECT_EQ((BigFloat(0.9, 53) - deep).precision(), 200);
  EXPECT_FALSE((deep - 1.0).is_zero());
  EXPECT_EQ(to_string(FloatExp::make(1.5, -33219), 5), BigFloat(FloatExp::make(1.5, -33219), 64).to_string(5));
}

TEST(Reference, ExtendsInPiecesAsInOneGoAndStopsWhenAsked) {
  const BigFloat cx(-0.3, 53), cy(0.55, 53);  // inside: never escapes
  Reference whole(cx, cy, 200), pieces(cx, cy, 200);
  ASSERT_TRUE(whole.extend(3000));
  long long last = 0;
  int polls = 0;
  // Stop at the second poll after 1000 iterations: the work done stays and goes on later.
  const CancelFn stop = [&] { return ++polls > 1 && last >= 1000; };
  const ProgressFn told = [&](long long n) {
    EXPECT_GE(n, last);
    last = n;
  };
  EXPECT_FALSE(pieces.extend(3000, stop, told));
  EXPECT_LT(pieces.end(), 3000);
  EXPECT_GE(pieces.end(), 1000);
  ASSERT_TRUE(pieces.extend(3000));
  ASSERT_EQ(pieces.end(), 3000);
  for (int m = 0; m <= 3000; ++m) {
    ASSERT_EQ(pieces.zx()[m], whole.zx()[m]) << m;
    ASSERT_EQ(pieces.zy()[m], whole.zy()[m]) << m;
  }
  // An escaping point stores its last value and stops.
  Reference out(BigFloat(1.0, 53), BigFloat(1.0, 53), 64);
  ASSERT_TRUE(out.extend(100));
  EXPECT_TRUE(out.escaped());
  const int e = out.end();
  EXPECT_GE(out.zx()[e] * out.zx()[e] + out.zy()[e] * out.zy()[e], 9.0);
  EXPECT_LT(out.zx()[e - 1] * out.zx()[e - 1] + out.zy()[e - 1] * out.zy()[e - 1], 9.0);
}

// Pixels and half pixels anywhere in the 480 x 360 picture.
void sample(int n, unsigned seed, std::vector<double>& u, std::vector<double>& v) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> col(-480, 480), row(-360, 360);
  for (int i = 0; i < n; ++i) {
    u.push_back(col(rng) / 2.0);
    v.push_back(row(rng) / 2.0);
  }
}

std::vector<int> counts(const DeepKernel& k, const std::vector<double>& u, const std::vector<double>& v, int limit) {
  std::vector<int> out(u.size(), -1);
  CountJob job{u.data(), v.data(), out.data(), static_cast<int>(u.size()), limit};
  k.count(job);
  return out;
}

class DeepView : public ::testing::TestWithParam<DeepCase> {};

// Whole pictures (every pixel of a small picture of the view) against plain MPFR iteration: at
// least 99.9 % of the counts agree, with skips (the program's path) and without; and a count is
// the same on vectors of one lane as on the widest.
TEST_P(DeepView, WholePicturesAgreeWithMpfrIteration) {
  const DeepCase& dc = GetParam();
  const int w = std::max(2, dc.width / kShare), h = std::max(1, w * 3 / 4);
  DeepParams p = view_at(dc, w, h);
  const Picture pic(w, h);
  const std::vector<int> want = oracle_counts(p, pic, 1);
  DeepKernel k;
  for (const bool skips : {true, false}) {
    p.bla = skips;
    ASSERT_TRUE(k.prepare(p));
    const std::vector<int> got = counts(k, pic.u, pic.v, p.limit);
    int agree = 0;
    for (int i = 0; i < pic.size(); ++i) agree += got[i] == want[i];
    EXPECT_GE(agree * 1000, pic.size() * 999)
        << dc.name << (skips ? " with" : " without") << " skips: " << agree << " of " << pic.size()
        << " agree; reference " << k.stats().reference_length << " values, period " << k.stats().period;
    for (int i = 0, shown = 0; i < pic.size() && shown < 3; ++i) {
      if (got[i] != want[i] && ++shown) std::cerr << "  (" << pic.u[i] << ", " << pic.v[i] << "): " << got[i] << " vs " << want[i] << "\n";
    }
    k.use_scalar(true);
    EXPECT_EQ(counts(k, pic.u, pic.v, p.limit), got) << dc.name << ": one lane against the widest";
    k.use_scalar(false);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, DeepView, ::testing::ValuesIn(kViews),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// Points of the README's view whose counts doubles get wrong (found against MPFR on its
// 120 x 90 picture): their counts are in doubt, and counted again they are right. Those of
// `unskip` are wrong with skips only and in doubt only after skips: counted again without
// skips, not in double-double; those of `deeper` are wrong without skips too.
TEST(DeepKernel, CountsInDoubtAreCountedAgainAndRight) {
  const DeepCase& readme = *std::find_if(std::begin(kViews), std::end(kViews),
                                         [](const DeepCase& c) { return c.name == std::string("readme_1e21"); });
  const DeepParams p = view_at(readme, 120, 90);
  const struct {
    const char* name;
    std::vector<std::pair<double, double>> at;
    long long unskipped, recounted;  // at least
  } cases[] = {
      {"unskip", {{12, -20}, {21, 36}}, 2, 0},
      {"deeper", {{0, -34}, {-14, -27}, {-45, -20}, {-8, -11}, {0, -9}, {-15, -5}}, 0, 6},
  };
  for (const auto& c : cases) {
    Picture pic(0, 0);
    for (const auto& [u, v] : c.at) {
      pic.u.push_back(u);
      pic.v.push_back(v);
    }
    DeepKernel k;
    ASSERT_TRUE(k.prepare(p));
    EXPECT_EQ(counts(k, pic.u, pic.v, p.limit), oracle_counts(p, pic, 1)) << c.name;
    EXPECT_GE(k.unskipped(), c.unskipped) << c.name << ": counted again without skips";
    EXPECT_GE(k.recounted(), c.recounted) << c.name << ": counted again in double-double";
  }
}

// A skip must give what its steps give, for every δ inside its radius and every δc within the
// table's bound: the steps themselves, δ <- 2 Z_m δ + δ² - δc, are the reference here.
TEST(BlaTable, SkipsMatchTheirStepsInsideTheirRadius) {
  std::mt19937 rng(13);
  std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
  const auto unit = [&] {
    const double a = angle(rng);
    return CFloatExp(std::cos(a), std::sin(a));
  };
  for (const int vi : {0, 4, 9}) {  // centre orbit, a nucleus's, one beyond double range
    DeepParams p = make_view(kViews[vi]);
    DeepKernel k;
    ASSERT_TRUE(k.prepare(p));
    const Reference& ref = k.reference();
    const FloatExp dc_max = FloatExp(300.0) * p.sx;
    BlaTable table;
    ASSERT_TRUE(table.build(ref, ref.end(), dc_max));
    int checked = 0;
    for (int j = table.min_level(); j <= table.levels(); ++j) {
      for (int m = 1; m + (1 << j) <= ref.end(); m += (1 << j) * (1 + static_cast<int>(rng() % 2))) {
        const BlaStep* s = table.at(j, m);
        ASSERT_NE(s, nullptr) << j << " " << m;
        if (!(s->r > FloatExp())) continue;  // never taken
        const CFloatExp d0 = unit() * (s->r * FloatExp(0.7)), dc = unit() * dc_max;
        CFloatExp d = d0;
        for (int i = m; i < m + (1 << j); ++i) d = (ref.z(i) * d) * FloatExp(2.0) + d.sqr() - dc;
        const CFloatExp err = d - (s->a * d0 + s->b * dc);
        const FloatExp scale = s->a.maxabs() * d0.maxabs() + s->b.maxabs() * dc.maxabs();
        EXPECT_LT(err.maxabs(), scale * FloatExp(0x1p-24)) << kViews[vi].name << " skip 2^" << j << " at " << m;
        ++checked;
      }
    }
    EXPECT_GT(checked, 8) << kViews[vi].name;
  }
}

// A deep count is a function of the point and the prepared view alone: the same for any batch
// and order of points, sharing of work between threads, vector width (one lane, every target),
// with skips or without, at any limit, in double range, at its edge and beyond it. So are its
// continuous count and distance, which differ in their last bits wherever the steps taken
// differ.
TEST(DeepKernel, ACountDependsOnThePointAlone) {
  struct Result {
    std::vector<int> n;
    std::vector<double> smooth, distance;
    bool operator==(const Result&) const = default;
  };
  const auto run = [](const DeepKernel& k, const std::vector<double>& u, const std::vector<double>& v,
                      int limit, bool helper) {
    Result r{std::vector<int>(u.size(), -1), std::vector<double>(u.size()), std::vector<double>(u.size())};
    CountJob job{u.data(), v.data(), r.n.data(), static_cast<int>(u.size()), limit};
    job.smooth = r.smooth.data();
    job.distance = r.distance.data();
    std::thread other;
    if (helper) other = std::thread([&] { k.count(job); });
    k.count(job);
    if (helper) other.join();
    return r;
  };
  // Inside a small copy of the set every point rebases to a small δ once a period and takes
  // skips after it.
  const DeepCase inside{"inside76_1e82", 1.296355138173, 0.441851605735, 4, "1e-40", 76, "1e-82", 3000, 0};
  for (const DeepCase* c : {&kViews[0], &kViews[4], &kViews[7], &kViews[9], &kViews[12], &inside}) {
    DeepParams p = make_view(*c);
    std::vector<double> u, v;
    sample(400 / kShare, 5, u, v);
    std::vector<size_t> order(u.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = (i * 7919) % order.size();
    std::vector<double> su(u.size()), sv(v.size());
    for (size_t i = 0; i < order.size(); ++i) su[i] = u[order[i]], sv[i] = v[order[i]];
    for (const bool skips : {true, false}) {
      for (const int limit : {INT_MIN, 1, 2, 150, p.limit}) {
        SCOPED_TRACE(std::string(c->name) + " limit " + std::to_string(limit) + (skips ? " skips" : ""));
        p.bla = skips;
        p.limit = limit;
        DeepKernel k;
        ASSERT_TRUE(k.prepare(p));
        const Result want = run(k, u, v, limit, false);
        k.use_scalar(true);
        Result alone;
        for (size_t i = 0; i < u.size(); ++i) {
          const Result one = run(k, {u[i]}, {v[i]}, limit, false);
          alone.n.push_back(one.n[0]);
          alone.smooth.push_back(one.smooth[0]);
          alone.distance.push_back(one.distance[0]);
        }
        EXPECT_TRUE(alone == want) << "each point alone, on one lane";
        k.use_scalar(false);
        for (const std::int64_t target : counts_targets()) {
          counts_use_target(target);
          const Result got = run(k, su, sv, limit, true);
          Result back{std::vector<int>(u.size()), std::vector<double>(u.size()), std::vector<double>(u.size())};
          for (size_t i = 0; i < order.size(); ++i) {
            back.n[order[i]] = got.n[i];
            back.smooth[order[i]] = got.smooth[i];
            back.distance[order[i]] = got.distance[i];
          }
          EXPECT_TRUE(back == want) << "shuffled, two threads, on " << counts_target();
        }
        counts_use_target(0);
      }
    }
  }
}

// The continuous count and the distance of a deep view's points, carried through perturbation
// and skips, are those the double kernel gives the same points where doubles still reach
// (half-height 1e-9: the points differ by their doubles' rounding, far below a pixel).
TEST(DeepKernel, ContinuousCountsAndDistancesAreTheDoubleKernels) {
  DeepParams p;
  p.cx = *BigFloat::parse("0.7436438870371587", 64);
  p.cy = *BigFloat::parse("-0.1318259042053120", 64);
  p.sx = FloatExp(-1e-9 / 180);
  p.sy = FloatExp(1e-9 / 180);
  p.limit = 3000;
  std::vector<double> u, v, x, y;
  for (int r = -180; r < 180; r += 6) {
    for (int c = -240; c < 240; c += 6) {
      u.push_back(c);
      v.push_back(r);
      x.push_back(0.7436438870371587 + c * (-1e-9 / 180));
      y.push_back(-0.1318259042053120 + r * (1e-9 / 180));
    }
  }
  const int n = static_cast<int>(u.size());
  std::vector<int> dn(n), sn(n);
  std::vector<double> dnu(n), dde(n), snu(n), sde(n);
  CountJob shallow{x.data(), y.data(), sn.data(), n, p.limit};
  shallow.smooth = snu.data();
  shallow.distance = sde.data();
  shallow.pitch = 1e-9 / 180;
  escape_counts(shallow);
  for (const bool skips : {true, false}) {
    p.bla = skips;
    DeepKernel k;
    ASSERT_TRUE(k.prepare(p));
    CountJob deep{u.data(), v.data(), dn.data(), n, p.limit};
    deep.smooth = dnu.data();
    deep.distance = dde.data();
    k.count(deep);
    // Points a pixel or more from the set: the rounding of the double kernel's points moves
    // them by 1e-5 of a pixel, which changes nothing visible there (nearer the set it does).
    int far = 0, close = 0;
    for (int i = 0; i < n; ++i) {
      if (sn[i] >= p.limit || !(sde[i] > 1.0)) continue;
      ++far;
      close += dn[i] == sn[i] && std::fabs(dnu[i] - snu[i]) < 1e-4 && std::fabs(dde[i] / sde[i] - 1) < 1e-3;
    }
    EXPECT_GT(far, n / 4);
    EXPECT_EQ(close, far) << (skips ? "with" : "without") << " skips";
  }
  // Deeper, where skips hold for long: what they carry is what the steps give.
  p = view_at(kViews[3], 48, 36);  // 1e-20
  const Picture pic(48, 36);
  std::vector<double> with[2], without[2];
  std::vector<int> nw(pic.size()), nwo(pic.size());
  for (const bool skips : {true, false}) {
    p.bla = skips;
    DeepKernel k;
    ASSERT_TRUE(k.prepare(p));
    std::vector<double>* o = skips ? with : without;
    o[0].resize(pic.size());
    o[1].resize(pic.size());
    CountJob job{pic.u.data(), pic.v.data(), (skips ? nw : nwo).data(), pic.size(), p.limit};
    job.smooth = o[0].data();
    job.distance = o[1].data();
    k.count(job);
  }
  // The farther half of the points (these pixels are all near a small copy of the set).
  std::vector<double> sorted = without[1];
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  int far = 0, close = 0;
  for (int i = 0; i < pic.size(); ++i) {
    if (nwo[i] >= p.limit || !(without[1][i] > median)) continue;
    ++far;
    close += nw[i] == nwo[i] && std::fabs(with[0][i] - without[0][i]) < 1e-4 &&
             std::fabs(with[1][i] / without[1][i] - 1) < 1e-3;
  }
  EXPECT_GT(far, pic.size() / 4);
  EXPECT_EQ(close, far) << "skips against steps at 1e-20";
}

// Inside a small copy of the set every point runs to the limit: no skip may carry a count past
// it, at any limit, and all lanes stay together there (the broadcast path).
TEST(DeepKernel, InsideASmallCopyEveryCountIsTheLimit) {
  const DeepCase inside{"inside76_1e82", 1.296355138173, 0.441851605735, 4, "1e-40", 76, "1e-82", 5000, 0};
  DeepParams p = make_view(inside);
  std::vector<double> u, v;
  for (int r = -180; r < 180; r += 4 * kShare) {
    for (int c = -240; c < 240; c += 4) {
      u.push_back(c);
      v.push_back(r);
    }
  }
  for (const bool skips : {true, false}) {
    p.bla = skips;
    DeepKernel k;
    ASSERT_TRUE(k.prepare(p));
    for (const int limit : {1, 2, 77, 1000, 4999}) {
      int wrong = 0;
      for (const int n : counts(k, u, v, limit)) wrong += n != limit;
      EXPECT_EQ(wrong, 0) << "limit " << limit << (skips ? " with skips" : "");
    }
  }
}

// What a kernel prepares for a view does not depend on the views it prepared before: a session
// of pans, zooms and limits on one kernel counts every picture as a fresh kernel does, bit for
// bit; the orbits it keeps serve the same view at a larger limit.
TEST(DeepKernel, APreparedViewIsTheSameWhateverCameBefore) {
  const int w = 48 / kShare, h = w * 3 / 4;
  DeepParams p = view_at(kViews[5], w, h);
  p.limit = 2000;
  const Picture pic(w, h);
  DeepKernel k;
  const struct {
    const char* step;
    double dx;    // pixels to the right
    double zoom;  // half-height factor
    int limit;
  } steps[] = {
      {"start", 0, 1.0, 2000},       {"pan", 30, 1.0, 2000},         {"zoom in", 0, 0.9, 2000},
      {"more limit", 0, 1.0, 8000},  {"less limit", 0, 1.0, 1000},   {"far pan", 2000, 1.0, 8000},
      {"zoom out 2^300", 0, 0x1p300, 8000}, {"back in", -2030, 0x1p-300 / 0.9, 2000},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    p.cx += BigFloat(p.sx * FloatExp(s.dx), 64);
    p.sx = p.sx * s.zoom;
    p.sy = p.sy * s.zoom;
    p.limit = s.limit;
    ASSERT_TRUE(k.prepare(p));
    DeepKernel fresh;
    ASSERT_TRUE(fresh.prepare(p));
    EXPECT_EQ(counts(k, pic.u, pic.v, p.limit), counts(fresh, pic.u, pic.v, p.limit));
    // Counts rarely show which reference served; the reference itself does.
    EXPECT_TRUE(k.reference().cx() == fresh.reference().cx() && k.reference().cy() == fresh.reference().cy());
    EXPECT_EQ(k.stats().reference_length, fresh.stats().reference_length);
    EXPECT_EQ(k.stats().precision, fresh.stats().precision);
  }
  p.limit = 3000;
  ASSERT_TRUE(k.prepare(p));
  EXPECT_TRUE(k.stats().reused) << "the same view at a larger limit extends its orbit";
  // A cancelled preparation says so; the next one works.
  p.cx += BigFloat(p.sx * FloatExp(1e6), 64);
  EXPECT_FALSE(k.prepare(p, [] { return true; }));
  EXPECT_TRUE(k.prepare(p));
}

// A stop reaches every part of a point's life: the vector loop, skips, extended range and the
// linear runs of points without skips. Points deep inside the main body never escape, so a count
// that ignored the stop would run to its limit; a stopped one leaves -1.
TEST(DeepKernel, AStopEndsTheCountsAtAnyDepth) {
  for (const char* half : {"1e-80", "1e-300", "1e-1000"}) {
    DeepParams p;
    p.cx = *BigFloat::parse("-0.1000000000000000000000000000003", 4000);
    p.cy = *BigFloat::parse("0.2000000000000000000000000000001", 4000);
    p.sx = p.sy = *View::read_half_extent(half) / FloatExp(180.0);
    p.limit = 1 << 16;  // a few looks at the stop in every loop
    for (const bool skips : {true, false}) {
      SCOPED_TRACE(std::string(half) + (skips ? " skips" : ""));
      p.bla = skips;
      DeepKernel k;
      ASSERT_TRUE(k.prepare(p));
      std::vector<double> u{0, 100, -240, 17.5}, v{0, -180, 3, 179};
      std::atomic<int> stop{0};
      int polls = 0;
      std::vector<int> out(u.size(), 7);
      CountJob job{u.data(), v.data(), out.data(), static_cast<int>(u.size()), p.limit};
      job.stop = &stop;
      job.stop_at = 1;
      // The poll raises the stop at its second call: the kernel must poll while it counts.
      static thread_local std::function<void()> raise;
      raise = [&] {
        if (++polls == 2) stop = 1;
      };
      job.poll = [] { raise(); };
      k.count(job);
      EXPECT_GE(polls, 2);
      for (const int n : out) EXPECT_EQ(n, -1);
    }
  }
}

TEST(DeepKernel, AnAbsurdLimitIsBoundedAndCancellable) {
  // Deep inside the main body: the centre's orbit never ends and never returns to 0, so only
  // the bound on the stored orbit stops it.
  DeepParams p;
  p.cx = *BigFloat::parse("-0.1000000000000000000000000000003", 160);
  p.cy = *BigFloat::parse("0.2000000000000000000000000000001", 160);
  p.sx = p.sy = FloatExp(1e-30);
  p.limit = INT_MAX;
  p.bla = false;
  long long told = 0;
  DeepKernel k;
  EXPECT_FALSE(k.prepare(p, [&] { return told > 20000; }, [&](long long n) { told = n; }));
  EXPECT_LT(told, 30000) << "cancellation must be polled every few hundred iterations";
  ASSERT_TRUE(k.prepare(p));
  EXPECT_EQ(k.stats().reference_length, Reference::kMaxLength + 1);
  // Points that outlive the stored orbit rebase at its end and go on to the limit.
  const std::vector<double> u{0, 100, -240.5}, v{0, -180, 3};
  for (const int n : counts(k, u, v, Reference::kMaxLength + 1000)) EXPECT_EQ(n, Reference::kMaxLength + 1000);
}


// Near the point the program sees as (0, -1) (c = i in the usual orientation, a Misiurewicz
// point), views from 1e-10 to past 1e-300: the finder's copy is a nucleus of its period and of
// no lower one (plain MPFR iteration), the one plain Newton's method finds for that period from
// the view's centre, and smaller than the view.
TEST(Minibrots, TheFinderLandsOnNucleiOfTheirPeriod) {
  for (const char* depth : {"1e-10", "1e-100", "1e-300", "1e-1000"}) {
    SCOPED_TRACE(depth);
    const FloatExp r = *View::read_half_extent(depth);
    const long prec = 256 - static_cast<long>(r.e) * 2;
    BigFloat cx = *BigFloat::parse("0", prec), cy = *BigFloat::parse("-1", prec);
    cx += BigFloat(r * FloatExp(0.37), 64);
    cy += BigFloat(r * FloatExp(0.21), 64);
    bool cancelled = false;
    const auto m = find_minibrot(cx, cy, r, 100000, {}, &cancelled);
    ASSERT_TRUE(m);
    EXPECT_LT(m->size, r);
    // Its orbit: z_p is 0 to far below its size, no earlier z is near 0.
    const long bits = prec + 128;
    MpComplex c(bits), z(bits);
    mpfr_set(c.x, m->cx.get(), MPFR_RNDN);
    mpfr_set(c.y, m->cy.get(), MPFR_RNDN);
    Mp t(bits), u(bits), a(64);
    double nearest = 1e9, last = 0;
    for (int k = 1; k <= m->period; ++k) {
      mpfr_mul(t.v, z.x, z.y, MPFR_RNDN);
      mpfr_mul_2ui(t.v, t.v, 1, MPFR_RNDN);
      mpfr_sqr(u.v, z.x, MPFR_RNDN);
      mpfr_sqr(z.x, z.y, MPFR_RNDN);
      mpfr_sub(z.x, u.v, z.x, MPFR_RNDN);
      mpfr_sub(z.x, z.x, c.x, MPFR_RNDN);
      mpfr_sub(z.y, t.v, c.y, MPFR_RNDN);
      mpfr_hypot(a.v, z.x, z.y, MPFR_RNDN);
      if (k < m->period) {
        nearest = std::min(nearest, mpfr_get_d(a.v, MPFR_RNDN));
      } else {
        last = mpfr_get_d(a.v, MPFR_RNDN);
      }
    }
    EXPECT_LT(last, 1e-12) << "period " << m->period;
    EXPECT_GT(nearest, 1e-9) << "a lower period";
    // Newton's method written apart, from the view's centre, for the same period.
    MpComplex n(bits);
    mpfr_set(n.x, cx.get(), MPFR_RNDN);
    mpfr_set(n.y, cy.get(), MPFR_RNDN);
    newton_root(n, 0, m->period, bits, 16);
    Mp ex(bits), ey(bits);
    mpfr_sub(ex.v, n.x, m->cx.get(), MPFR_RNDN);
    mpfr_sub(ey.v, n.y, m->cy.get(), MPFR_RNDN);
    mpfr_hypot(a.v, ex.v, ey.v, MPFR_RNDN);
    Mp size(64);
    set(size, m->size);
    mpfr_div(a.v, a.v, size.v, MPFR_RNDN);
    EXPECT_LT(mpfr_get_d(a.v, MPFR_RNDN), 1e-6) << "another nucleus than plain Newton's";
  }
}

// The program's own pictures of deep views (start-up from --view's numbers, the walk, the
// kernel chosen for the view): the colours of the anchors (every fourth row and column, which
// no refinement changes) agree with plain MPFR iteration of their points.
TEST(DeepProgram, AnchorColoursAgreeWithMpfrIteration) {
  for (const char* name : {"copy22_1e20", "spiral_1e250", "spiral_1e1000"}) {
    const DeepCase& dc = *std::find_if(std::begin(kViews), std::end(kViews),
                                         [&](const DeepCase& v) { return v.name == std::string(name); });
    SCOPED_TRACE(name);
    const DeepParams p = make_view(dc);
    use_backend(headless_backend());
    reset_state();
    Cmdline cmd;
    const std::string half = to_string(p.sy * 180.0, 17), third = to_string(p.sy * 135.0, 17);
    const std::string nums[5] = {p.cx.to_string(View::digits_for(p.cx.precision())),
                                 p.cy.to_string(View::digits_for(p.cy.precision())), half, third,
                                 std::to_string(dc.limit)};
    const char* n[5] = {nums[0].c_str(), nums[1].c_str(), nums[2].c_str(), nums[3].c_str(),
                        nums[4].c_str()};
    std::string err;
    ASSERT_TRUE(read_view_state(n, cmd, err)) << err;
    ASSERT_TRUE(startup(cmd));
    ASSERT_TRUE(prog.view.deep);
    whole_picture();
    // The anchor at column c, row r is the point (cx + (c - 240) 2 xs / 480, cy + (180 - r) 2 ys / 360).
    const long prec = prog.view.cx.precision() + 64;
    std::mt19937 rng(7);
    int agree = 0, tried = 0;
    for (int i = 0; i < 120 / kShare; ++i, ++tried) {
      const int c = 4 * static_cast<int>(rng() % 120), r = 4 * static_cast<int>(rng() % 90);
      MpComplex pt(prec);
      // (Named: mpfr_set is a macro that reads its source twice.)
      const BigFloat x = prog.view.cx + BigFloat(prog.view.pitch_x(480) * FloatExp(c - 240.0), 64);
      const BigFloat y = prog.view.cy + BigFloat(prog.view.pitch_y(360) * FloatExp(180.0 - r), 64);
      mpfr_set(pt.x, x.get(), MPFR_RNDN);
      mpfr_set(pt.y, y.get(), MPFR_RNDN);
      const int want = oracle_count(pt.x, pt.y, dc.limit, prec);
      agree += prog.screen.row(r)[c] == colour_of(prog.mycoltab, want, dc.limit);
    }
    EXPECT_GE(agree, tried * 99 / 100) << agree << " of " << tried;
  }
}

// Deep exactly when the pitch is below 2^-47 of the centre's larger coordinate, in x or y, or a
// half-extent is below 1e-290: pitches 2^-46 and 2^-48 on either axis, and a centre at 0.
TEST(DeepProgram, ShallowOrDeepByThePitchAndTheHalfExtents) {
  const double p46 = 0x1p-46, p48 = 0x1p-48;
  const struct { double x, y, xs, ys; bool deep; } cases[] = {
      {1, 0, 240 * p46, 180 * p46, false}, {1, 0, 240 * p48, 180 * p46, true},
      {0, -1, 240 * p46, 180 * p48, true}, {0, 0, 1e-280, 1e-280, false},
      {0, 0, 1, 1e-300, true},             {0, 0, -1e-300, 1, true},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(testing::Message() << k.x << " " << k.y << " " << k.xs << " " << k.ys);
    EXPECT_EQ(View::of_doubles(k.x, k.y, k.xs, k.ys, 50).deep, k.deep);
  }
}

// A session that dives past where doubles end and backs out again, without panning, comes back
// to exactly the view that double arithmetic alone gives; and a deep view's numbers, printed
// and read back, are the same view.
TEST(DeepProgram, DeepExcursionsAndPrintedNumbersLoseNothing) {
  use_backend(headless_backend());
  reset_state();
  // The default view's centre, 20 steps short of the deep: 50 steps in and 50 out.
  Cmdline cmd;
  const char* start[5] = {"0.5", "0.0004999999999999449", "-2.5e-11", "-1.8745e-11", "500"};
  std::string err;
  ASSERT_TRUE(read_view_state(start, cmd, err)) << err;
  ASSERT_TRUE(startup(cmd));
  ASSERT_FALSE(prog.view.deep);
  std::string text;
  for (int i = 0; i < 50; ++i) text += "L 0 0\n";
  for (int i = 0; i < 50; ++i) text += "M 0 0\n";
  std::vector<ScriptLine> lines;
  int bad;
  std::string what;
  ASSERT_TRUE(parse_script(text, lines, bad, what));
  ScriptedInput in(lines);
  in.attach(headless());
  paint_mandel();
  double xs = -2.5e-11, ys = -1.8745e-11, m = 500.0;
  for (int i = 0; i < 50; ++i) xs = xs * 0.9, ys = ys * 0.9, m = m < 64250.0 ? m * 1.02 : m;
  EXPECT_TRUE(View::of_doubles(0.5, 0.0004999999999999449, xs, ys, m).deep) << "the dive goes deep";
  for (int i = 0; i < 50; ++i) xs = xs / 0.9, ys = ys / 0.9, m = m / 1.02;
  const View& back_out = prog.view;
  EXPECT_FALSE(back_out.deep);
  EXPECT_EQ(back_out.xmit, 0.5);
  EXPECT_EQ(back_out.ymit, 0.0004999999999999449);
  EXPECT_EQ(back_out.xstep, xs);
  EXPECT_EQ(back_out.ystep, ys);
  EXPECT_EQ(back_out.maxit, m);

  for (const char* depth : {"1e-30", "1e-400", "3e-5000"}) {
    SCOPED_TRACE(depth);
    const std::string centre = "0.74364388703715870475219150611477" + std::string(150, '3');
    const View v = View::of_exact(*View::read_centre(centre), *View::read_centre("-0.13182590420531197049"),
                                  *View::read_half_extent(depth), *View::read_half_extent(depth), 5000);
    ASSERT_TRUE(v.deep);
    std::istringstream in_numbers(v.numbers());
    std::string w[5];
    for (std::string& x : w) in_numbers >> x;
    const View back = View::of_exact(*View::read_centre(w[0]), *View::read_centre(w[1]),
                                     *View::read_half_extent(w[2]), *View::read_half_extent(w[3]),
                                     std::stod(w[4]));
    EXPECT_EQ(back.cx, v.cx);
    EXPECT_EQ(back.cy, v.cy);
    EXPECT_EQ(back.xs, v.xs);
    EXPECT_EQ(back.ys, v.ys);
    EXPECT_EQ(back.numbers(), v.numbers());
    // Every digit given is kept, and printed as given until a pan moves the centre.
    EXPECT_EQ(v.cx.to_string(180).substr(0, 150), "7.4364388703715870475219150611477" + std::string(117, '3'));
    View given = View::of_exact(*View::read_centre(centre), v.cy, v.xs, v.ys, 5000, " " + centre);
    EXPECT_EQ(given.numbers().substr(0, centre.size() + 1), centre + " ");
    given.exact_pan(1, 0);
    EXPECT_NE(given.numbers().substr(0, centre.size()), centre);
    // Pans move a deep centre by exact additions, however deep: there and back is where it was.
    View moved = v;
    moved.exact_pan(1, 0);
    EXPECT_NE(moved.cx, v.cx);
    moved.exact_pan(-1, 0);
    EXPECT_EQ(moved.cx, v.cx);
    // Fewer digits than the depth needs: the centre is the number given, to the view's bits,
    // not its rounding at the bits of its digits carried on.
    const View few = View::of_exact(*View::read_centre("0.7436438870371587"), v.cy, v.xs, v.ys, 5000,
                                    "0.7436438870371587");
    EXPECT_EQ(few.cx, *BigFloat::parse("0.7436438870371587", few.cx.precision()));
  }
}

}  // namespace
}  // namespace zd::test
