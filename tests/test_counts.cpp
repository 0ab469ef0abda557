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
#include "compute/kernel.h"

namespace zd::test {
namespace {

// Every test here switches targets and must leave the best one chosen.
class Counts : public ::testing::Test {
 protected:
  void TearDown() override { counts_use_target(0); }

  // Runs fn once per target, with the target chosen and named in failure messages.
  template <class Fn>
  static void on_every_target(Fn fn) {
    const std::vector<std::int64_t> targets = counts_targets();
    ASSERT_FALSE(targets.empty());
    std::set<std::string> seen;
    for (std::int64_t t : targets) {
      counts_use_target(t);
      const std::string name = counts_target();
      SCOPED_TRACE("target " + name);
      EXPECT_TRUE(seen.insert(name).second) << "the switch did not reach the dispatcher";
      fn();
    }
    counts_use_target(0);
  }
};

// Points of several kinds: everywhere around the set, on its edge, deep in a zoom where
// orbits are long and chaotic, so that a rounding difference (a fused multiply-add) changes
// many counts, and values no orbit should survive.
struct Points {
  std::vector<double> cx, cy;
  int n() const { return static_cast<int>(cx.size()); }
};
Points test_points() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double big = std::numeric_limits<double>::max();
  const double tiny = std::numeric_limits<double>::denorm_min();
  std::vector<std::pair<double, double>> p = {
      {0, 0},      {nan, 0},   {0, nan},     {nan, nan},  {inf, 0},     {-inf, 0},
      {0, inf},    {0, -inf},  {inf, -inf},  {inf, nan},  {big, 0},     {0, -big},
      {tiny, 0},   {0, -tiny}, {-0.0, -0.0}, {3, 0},      {0, 3},       {-3, 0},
      {2, 0},      {-1, 0},    {0.25, 0},    {-0.3, 0},   {1e-300, 1e300},
  };
  std::mt19937_64 rng(2024);
  std::uniform_real_distribution<double> wide(-3.2, 3.2), angle(0, 6.283185307179586),
      near(-1e-6, 1e-6), deep(-1e-9, 1e-9);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int each = 1500;
#else
  const int each = 6000;
#endif
  for (int i = 0; i < each; ++i) p.emplace_back(wide(rng), wide(rng));
  for (int i = 0; i < each; ++i) {
    // The main cardioid's edge, mirrored (the kernel iterates z^2 - c), slightly perturbed.
    const double t = angle(rng);
    const double x = 0.5 * std::cos(t) - 0.25 * std::cos(2 * t);
    const double y = 0.5 * std::sin(t) - 0.25 * std::sin(2 * t);
    p.emplace_back(-x + near(rng), -y + near(rng));
  }
  for (int i = 0; i < each; ++i) p.emplace_back(0.743643887 + deep(rng), -0.131825904 + deep(rng));
  std::shuffle(p.begin(), p.end(), rng);  // short and long orbits side by side in the lanes
  Points pts;
  for (auto [x, y] : p) {
    pts.cx.push_back(x);
    pts.cy.push_back(y);
  }
  return pts;
}

TEST_F(Counts, EveryTargetAgreesWithTheScalarKernelOnEveryPoint) {
  const Points pts = test_points();
  const std::vector<double>& cx = pts.cx;
  const std::vector<double>& cy = pts.cy;
  const int n = pts.n();
  const int limits[] = {INT_MIN, -7, 0, 1, 2, 3, 50, 256, 3000};
  std::vector<std::vector<int>> expected;
  for (int limit : limits) {
    std::vector<int> e(n);
    for (int i = 0; i < n; ++i) e[i] = escape_count(cx[i], cy[i], limit);
    expected.push_back(e);
  }
  on_every_target([&] {
    for (size_t l = 0; l < std::size(limits); ++l) {
      std::vector<int> out(n, -1);
      escape_counts(cx.data(), cy.data(), n, limits[l], out.data());
      int wrong = 0;
      for (int i = 0; i < n; ++i) {
        if (out[i] != expected[l][i] && ++wrong <= 5) {
          ADD_FAILURE() << "limit " << limits[l] << ", c = (" << cx[i] << ", " << cy[i] << "): "
                        << out[i] << " instead of " << expected[l][i];
        }
      }
      EXPECT_EQ(wrong, 0) << "limit " << limits[l];
    }
  });
}

TEST_F(Counts, AnyBatchSizeAndALimitAsLargeAsAnInt) {
  // Every count from none to more than a vector of lanes: lanes left without a point must
  // neither store nor end the others' work early.
  const double cx[] = {0.1, -1, 5, 0.2, 0, 0.3, -0.5, 0.25, 0, 1, 0.1, 0.2, 0.3, -1, 4, 0.15, 0.05};
  const double cy[] = {0.05, 0, 0, 0.1, 0, 0, 0.5, 0, 0, 0, 0, 0, 0.1, 0, 0, 0, 0.1};
  const int total = static_cast<int>(std::size(cx));
  on_every_target([&] {
    for (int n = 0; n <= total; ++n) {
      int out[std::size(cx) + 1];
      std::fill(std::begin(out), std::end(out), -1);
      escape_counts(cx, cy, n, 200, out);
      for (int i = 0; i < n; ++i) EXPECT_EQ(out[i], escape_count(cx[i], cy[i], 200)) << n << ", " << i;
      for (int i = n; i <= total; ++i) EXPECT_EQ(out[i], -1) << "stored past the batch: " << n;
    }
  });
  // INT_MAX with points that end early: the deadline arithmetic must not overflow.
  const double ex[] = {-1, 5, -0.5, 2.5};
  const double ey[] = {0, 0, 0.5, 1};
  on_every_target([&] {
    int out[4];
    escape_counts(ex, ey, 4, INT_MAX, out);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], escape_count(ex[i], ey[i], INT_MAX)) << i;
  });
}

TEST_F(Counts, ThreadsSharingABatchComputeEachPointOnce) {
  const Points pts = test_points();
  const std::vector<double>& cx = pts.cx;
  const std::vector<double>& cy = pts.cy;
  const int n = pts.n();
  on_every_target([&] {
    std::vector<int> out(n, -1);
    CountJob job{cx.data(), cy.data(), out.data(), n, 500};
    std::vector<std::thread> helpers;
    for (int t = 0; t < 3; ++t) helpers.emplace_back([&] { escape_counts(job); });
    escape_counts(job);
    for (auto& h : helpers) h.join();
    for (int i = 0; i < n; ++i) ASSERT_EQ(out[i], escape_count(cx[i], cy[i], 500)) << i;
    // A call that finds every point taken returns at once.
    escape_counts(job);
  });
}

}  // namespace
}  // namespace zd::test
