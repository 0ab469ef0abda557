// deep_views.h — the deep views of the tests (boundary points and small copies of the set from
// 1e-16 to 1e-10000), and their counts over whole pictures against plain MPFR iteration.
#pragma once
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "compute/bigfloat.h"
#include "compute/perturb.h"
#include "deep_oracle.h"

namespace zd::test {

// A view around a boundary point: a Misiurewicz point (seed, preperiod k), or with a period
// the nucleus of that period found from M + d0 (0.37 + 0.21i), where a small copy of the set
// is; the centre is then offset by (0.41 + 0.23i) half-heights.
struct DeepCase {
  const char* name;
  double seed_x, seed_y;
  int k;
  const char* d0;
  int period;
  const char* half_height;
  int limit;
  int width;  // of the whole picture the tests compare with MPFR (3:4 high), sized for time
  double shift = 0.0;            // more offset of the centre, in half-heights to the right
  bool centre_reference = false;  // the centre's own orbit as reference
  const char* at_x = nullptr;     // or the centre given as the view state (xmit, ymit)
  const char* at_y = nullptr;
};

// Found by looking at count histograms of candidate views (tests/deep_oracle.h helpers):
// many colours, some points at the limit where a small copy is in view.
inline const DeepCase kViews[] = {
    // The centre's own orbit as reference, with a small copy off centre: its points come
    // close to 0 where the reference does not, and without the |z| < |δ| rebase 1 in 5 (1e-80)
    // and 2 in 5 (1e-700) of these counts went wrong in a trial run.
    {"offcentre76_1e80", 1.296355138173, 0.441851605735, 4, "1e-40", 76, "1e-80", 5000, 64, 0.6, true},
    {"offcentre602_1e700", 1.771257023356, 0.06616150908, 5, "1e-350", 602, "1e-700", 20000, 16, 0.6, true},
    {"spiral_1e16", 0.228155493654, 1.11514250804, 3, nullptr, 0, "1e-16", 1000, 96},
    {"copy22_1e20", 0.228155493654, 1.11514250804, 3, "1e-10", 22, "1e-20", 3000, 64},
    {"copy76_1e80", 1.296355138173, 0.441851605735, 4, "1e-40", 76, "1e-80", 5000, 64},
    {"copy192_1e220", 1.771257023356, -0.06616150908, 5, "1e-110", 192, "1e-220", 8000, 48},
    {"spiral_1e250", 1.296355138173, -0.441851605735, 4, nullptr, 0, "1e-250", 5000, 64},
    {"spiral_1e300", 1.771257023356, 0.06616150908, 5, nullptr, 0, "1e-300", 5000, 64},
    {"copy602_1e700", 1.771257023356, 0.06616150908, 5, "1e-350", 602, "1e-700", 20000, 16},
    {"spiral_1e1000", 1.771257023356, -0.06616150908, 5, nullptr, 0, "1e-1000", 8000, 24},
    {"copy1281_1e1400", 1.296355138173, -0.441851605735, 4, "1e-700", 1281, "1e-1400", 20000, 8},
    {"spiral_1e3000", 1.771257023356, -0.06616150908, 5, nullptr, 0, "1e-3000", 12000, 8},
    // The README's example of a deep view: the seahorse valley at 1e-21, limit 12000.
    {"readme_1e21", 0, 0, 0, nullptr, 0, "1e-21", 12000, 48, 0.0, false, "0.743643887037158704752191506114774",
     "-0.131825904205311970493132056385139"},
    {"spiral_1e10000", 1.941588652109, -0.007677765577, 6, nullptr, 0, "1e-10000", 20000, 2},
};

void PrintTo(const DeepCase& v, std::ostream* os) { *os << v.name; }

inline DeepParams make_view(const DeepCase& v) {
  const BigFloat h = *BigFloat::parse(v.half_height, 64);
  const long prec = 128 - h.ilogb();
  DeepParams p;
  p.sx = p.sy = h.to_floatexp() / 180.0;  // 180 rows to the top edge
  p.limit = v.limit;
  p.choose_reference = !v.centre_reference;
  if (v.at_x != nullptr) {
    // The view state's centre: the point of walk coordinates (u, v) is (xmit + u sx, ymit + v sy)
    // with the half-extents negative, as the default view's, so sx = -h/180 and sy = h/180.
    p.cx = *BigFloat::parse(v.at_x, prec);
    p.cy = *BigFloat::parse(v.at_y, prec);
    p.sx = -p.sx;
    return p;
  }
  MpComplex c(prec);
  misiurewicz(v.seed_x, v.seed_y, v.k, prec, c);
  p.cx = BigFloat(prec);
  p.cy = BigFloat(prec);
  mpfr_set(p.cx.get(), c.x, MPFR_RNDN);
  mpfr_set(p.cy.get(), c.y, MPFR_RNDN);
  if (v.period > 0) {
    const BigFloat d0 = *BigFloat::parse(v.d0, 64);
    p.cx += d0 * 0.37;
    p.cy += d0 * 0.21;
    mpfr_set(c.x, p.cx.get(), MPFR_RNDN);
    mpfr_set(c.y, p.cy.get(), MPFR_RNDN);
    newton_root(c, 0, v.period, prec, 60);
    mpfr_set(p.cx.get(), c.x, MPFR_RNDN);
    mpfr_set(p.cy.get(), c.y, MPFR_RNDN);
  }
  p.cx += h * ((v.period > 0 ? 0.41 : 0.37) + v.shift);
  p.cy += h * (v.period > 0 ? 0.23 : 0.21);
  return p;
}

// A point of the view at walk coordinates (u, v), iterated directly in MPFR, 128 bits beyond the
// view's own precision.
inline int oracle_at(const DeepParams& p, double u, double v) {
  const long prec = DeepKernel::precision_for(p) + 128;
  MpComplex c(prec);
  const BigFloat x = p.cx + BigFloat(p.sx * FloatExp(u), 64), y = p.cy + BigFloat(p.sy * FloatExp(v), 64);
  mpfr_set(c.x, x.get(), MPFR_RNDN);
  mpfr_set(c.y, y.get(), MPFR_RNDN);
  return oracle_count(c.x, c.y, p.limit, prec);
}

// The view of a case as a width x height picture: the same region, at this many pixels.
inline DeepParams view_at(const DeepCase& c, int width, int height) {
  DeepParams p = make_view(c);
  p.sx = p.sx * FloatExp(360.0 / height);
  p.sy = p.sy * FloatExp(360.0 / height);
  p.umax = width / 2 + 0.5;
  p.vmax = height / 2 + 0.5;
  return p;
}

// Every pixel of a width x height picture of the view (u = column - width / 2, v = row -
// height / 2), as DeepParams' walk coordinates.
struct Picture {
  std::vector<double> u, v;
  Picture(int width, int height) {
    for (int r = 0; r < height; ++r) {
      for (int c = 0; c < width; ++c) {
        u.push_back(c - width / 2);
        v.push_back(r - height / 2);
      }
    }
  }
  int size() const { return static_cast<int>(u.size()); }
};

// MPFR's counts of every point of the picture, on `threads` threads.
inline std::vector<int> oracle_counts(const DeepParams& p, const Picture& pic, int threads) {
  std::vector<int> want(pic.u.size());
  std::vector<std::thread> crew;
  for (int t = 0; t < threads; ++t) {
    crew.emplace_back([&, t] {
      for (int i = t; i < pic.size(); i += threads) want[i] = oracle_at(p, pic.u[i], pic.v[i]);
    });
  }
  for (auto& th : crew) th.join();
  return want;
}

}  // namespace zd::test
