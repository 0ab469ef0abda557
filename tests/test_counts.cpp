// test_counts.cpp — the vector kernel against the scalar one, on every target this machine runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "compute/counts.h"
#include "compute/escape.h"
#include "compute/kernel.h"

namespace zd::test {
namespace {

// Points everywhere around the set, on its edge and deep in a zoom, where orbits are long and
// chaotic so that a rounding difference (a fused multiply-add) changes many counts, and values
// no orbit should survive; shuffled, so that short and long orbits share the lanes.
void test_points(std::vector<double>& cx, std::vector<double>& cy) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double big = std::numeric_limits<double>::max();
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double odd[] = {0, -0.0, 2, 3, -3, 0.25, -0.3, -1, nan, inf, -inf, big, -big, tiny, 1e300};
  std::vector<std::pair<double, double>> p;
  for (double x : odd) {
    for (double y : odd) p.emplace_back(x, y);
  }
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> wide(-3.2, 3.2), angle(0, 6.283185307179586),
      near(-1e-6, 1e-6), deep(-1e-9, 1e-9);
  for (int i = 0; i < 2000; ++i) {
    p.emplace_back(wide(rng), wide(rng));
    // The main cardioid's edge, mirrored (the kernel iterates z^2 - c), slightly perturbed.
    const double t = angle(rng);
    p.emplace_back(-(0.5 * std::cos(t) - 0.25 * std::cos(2 * t)) + near(rng),
                   -(0.5 * std::sin(t) - 0.25 * std::sin(2 * t)) + near(rng));
    p.emplace_back(0.743643887 + deep(rng), -0.131825904 + deep(rng));
  }
  std::shuffle(p.begin(), p.end(), rng);
  for (auto [x, y] : p) cx.push_back(x), cy.push_back(y);
}

// Every target, every batch size from none to more than a vector of lanes, the whole batch
// shared by this thread and three helpers: each point computed once, bit for bit as the scalar
// kernel computes it, and nothing stored past the batch.
TEST(Counts, EveryTargetAgreesWithTheScalarKernel) {
  std::vector<double> cx, cy;
  test_points(cx, cy);
  const int n = static_cast<int>(cx.size());
  const std::vector<std::int64_t> targets = counts_targets();
  ASSERT_FALSE(targets.empty());
#if defined(__x86_64__)
  // Every x86-64 runs SSSE3 and the portable targets: a list of one means the kernels were
  // built for the baseline alone (and run at a fraction of their speed).
  EXPECT_GE(targets.size(), 2u);
#endif
  std::set<std::string> seen;
  struct Best {
    ~Best() { counts_use_target(0); }
  } best;  // whatever happens, the best target again afterwards
  for (std::int64_t t : targets) {
    counts_use_target(t);
    SCOPED_TRACE(std::string("target ") + counts_target());
    EXPECT_TRUE(seen.insert(counts_target()).second) << "the switch did not reach the dispatcher";
    for (int limit : {INT_MIN, -7, 0, 1, 2, 3, 50, 256, 3000}) {
      std::vector<int> out(n + 1, -1);
      CountJob job{cx.data(), cy.data(), out.data(), n, limit};
      std::vector<std::thread> helpers;
      for (int h = 0; h < 3; ++h) helpers.emplace_back([&] { escape_counts(job); });
      escape_counts(job);
      for (auto& h : helpers) h.join();
      int wrong = 0;
      for (int i = 0; i < n; ++i) {
        const int want = escape_count(cx[i], cy[i], limit);
        if (out[i] != want && ++wrong <= 5) {
          ADD_FAILURE() << "limit " << limit << ", c = (" << cx[i] << ", " << cy[i]
                        << "): " << out[i] << " instead of " << want;
        }
      }
      EXPECT_EQ(wrong, 0) << "limit " << limit;
      EXPECT_EQ(out[n], -1) << "stored past the batch";
    }
    for (int size = 0; size <= 70; ++size) {
      std::vector<int> out(size + 1, -1);
      escape_counts(cx.data(), cy.data(), size, 200, out.data());
      for (int i = 0; i < size; ++i) ASSERT_EQ(out[i], escape_count(cx[i], cy[i], 200)) << size;
      ASSERT_EQ(out[size], -1) << "stored past a batch of " << size;
    }
    // A limit as large as an int with points that all escape early: no overflow.
    const double ex[] = {-1, 5, -0.5, 2.5}, ey[] = {0, 0, 0.5, 1};
    int out[4];
    escape_counts(ex, ey, 4, INT_MAX, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], escape_count(ex[i], ey[i], INT_MAX)) << i;
  }
}

// The continuous count and the distance that the vector kernel gives with the counts are those
// of the scalar kernel's point and escape_of, bit for bit, on every target; the continuous count
// is the same whether distances are asked for or not.
TEST(Counts, ContinuousCountsAndDistancesAreTheScalarKernelsOnEveryTarget) {
  std::vector<double> cx, cy;
  test_points(cx, cy);
  const int n = static_cast<int>(cx.size()), limit = 3000;
  const double pitch = 1.0 / 1024;
  std::vector<double> want_nu(n), want_de(n);
  for (int i = 0; i < n; ++i) {
    double zx, zy, dx, dy;
    const int k = escape_count(cx[i], cy[i], limit, pitch, &zx, &zy, &dx, &dy);
    ASSERT_EQ(k, escape_count(cx[i], cy[i], limit));
    const Escape e = k < limit ? escape_of(k, zx, zy, dx, dy, cx[i], cy[i], pitch) : Escape{double(k), 0.0};
    want_nu[i] = e.nu;
    want_de[i] = e.distance;
  }
  const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
  for (std::int64_t t : counts_targets()) {
    counts_use_target(t);
    for (const bool distances : {false, true}) {
      SCOPED_TRACE(std::string(counts_target()) + (distances ? " with distances" : ""));
      std::vector<int> out(n);
      std::vector<double> nu(n, -1), de(n, -1);
      CountJob job{cx.data(), cy.data(), out.data(), n, limit};
      job.smooth = nu.data();
      job.distance = distances ? de.data() : nullptr;
      job.pitch = pitch;
      std::thread helper([&] { escape_counts(job); });
      escape_counts(job);
      helper.join();
      int wrong = 0;
      for (int i = 0; i < n; ++i) {
        wrong += !same(nu[i], want_nu[i]) || (distances && !same(de[i], want_de[i]));
      }
      EXPECT_EQ(wrong, 0);
    }
  }
  counts_use_target(0);
}

// The continuous count does not jump where the count does, and does not depend on the limit;
// the distance estimates the distance to the set within its factor of 4.
TEST(Counts, ContinuousCountsAreContinuousAndDistancesNearTheTruth) {
  // Along the real axis beyond the set's tip (at 2 here: z <- z^2 - c), counts fall by one
  // many times; the continuous count moves by little between neighbours.
  std::vector<double> cx, cy;
  for (int i = 0; i <= 20000; ++i) {
    cx.push_back(2.0005 + i * 5e-5);
    cy.push_back(0.0);
  }
  const int n = static_cast<int>(cx.size());
  for (const int limit : {60, 5000}) {
    std::vector<int> out(n);
    std::vector<double> nu(n), de(n);
    CountJob job{cx.data(), cy.data(), out.data(), n, limit};
    job.smooth = nu.data();
    job.distance = de.data();
    escape_counts(job);
    // A step of the continuous count is never much more than its neighbours' (it changes
    // smoothly, if fast near the tip), where the counts jump by one.
    int jumps = 0, steep = 0;
    for (int i = 2; i < n - 1; ++i) {
      jumps += out[i] != out[i - 1];
      const double here = std::fabs(nu[i] - nu[i - 1]);
      const double around = std::max(std::fabs(nu[i - 1] - nu[i - 2]), std::fabs(nu[i + 1] - nu[i]));
      steep += here > 2 * around + 1e-6;
    }
    EXPECT_GT(jumps, 5) << "the counts change along the line";
    EXPECT_EQ(steep, 0) << "limit " << limit;
    // The true distance of (x, 0) from the set is x - 2 here.
    for (int i = 0; i < n; i += 997) {
      if (out[i] >= limit) continue;
      const double ratio = de[i] / (cx[i] - 2.0);
      EXPECT_TRUE(ratio > 0.25 && ratio < 4.0) << cx[i] << ": " << de[i];
    }
    static std::vector<double> first;
    if (first.empty()) {
      first = nu;
    } else {
      for (int i = 0; i < n; ++i) {
        if (out[i] < 60) {
          ASSERT_EQ(nu[i], first[i]) << "the limit changed the continuous count at " << cx[i];
        }
      }
    }
  }
}

}  // namespace
}  // namespace zd::test
