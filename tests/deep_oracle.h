// deep_oracle.h — for the deep-view tests: boundary points found by Newton's method in MPFR, and
// escape counts by plain MPFR iteration, written apart from the code under test.
#pragma once
#include <mpfr.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace zd::test {

// A complex number of MPFR reals at one precision.
struct MpComplex {
  mpfr_t x, y;
  explicit MpComplex(long prec) { mpfr_inits2(prec, x, y, static_cast<mpfr_ptr>(nullptr)); mpfr_set_zero(x, 1); mpfr_set_zero(y, 1); }
  MpComplex(const MpComplex&) = delete;
  MpComplex& operator=(const MpComplex&) = delete;
  ~MpComplex() { mpfr_clears(x, y, static_cast<mpfr_ptr>(nullptr)); }
};

// The escape count of c = (cx, cy) (the program's meaning: z <- z^2 - c from 0, steps counted
// while |z|^2 < 9, the first always made), iterated in MPFR at `prec` bits.
inline int oracle_count(mpfr_srcptr cx, mpfr_srcptr cy, int limit, long prec) {
  mpfr_t x, y, xx, yy, t;
  mpfr_inits2(prec, x, y, xx, yy, t, static_cast<mpfr_ptr>(nullptr));
  mpfr_set_zero(x, 1);
  mpfr_set_zero(y, 1);
  mpfr_set_zero(xx, 1);
  mpfr_set_zero(yy, 1);
  int n = 0;
  for (;;) {
    // y' = 2xy - cy; x' = xx - yy - cx
    mpfr_mul(t, x, y, MPFR_RNDN);
    mpfr_mul_2ui(t, t, 1, MPFR_RNDN);
    mpfr_sub(y, t, cy, MPFR_RNDN);
    mpfr_sub(t, xx, yy, MPFR_RNDN);
    mpfr_sub(x, t, cx, MPFR_RNDN);
    mpfr_sqr(xx, x, MPFR_RNDN);
    mpfr_sqr(yy, y, MPFR_RNDN);
    mpfr_add(t, xx, yy, MPFR_RNDN);
    if (!(mpfr_cmp_ui(t, 9) < 0)) break;
    if (++n >= limit) break;
  }
  mpfr_clears(x, y, xx, yy, t, static_cast<mpfr_ptr>(nullptr));
  return n;
}

// Newton's method at `prec` bits, from c, for a root of z_{k+p}(c) - z_k(c): with k = 0 a
// nucleus of period p (the centre of a small copy of the set), with p = 1 a Misiurewicz point
// whose orbit lands on a fixed point at step k (on the boundary, with structure at every
// depth). `steps` Newton steps; the root is left in c.
inline void newton_root(MpComplex& c, int k, int p, long prec, int steps) {
  MpComplex z(prec), dz(prec), zk(prec), dzk(prec), f(prec), df(prec);
  mpfr_t t, u, den;
  mpfr_inits2(prec, t, u, den, static_cast<mpfr_ptr>(nullptr));
  for (int s = 0; s < steps; ++s) {
    mpfr_set_zero(z.x, 1);
    mpfr_set_zero(z.y, 1);
    mpfr_set_zero(dz.x, 1);
    mpfr_set_zero(dz.y, 1);
    for (int i = 0; i < k + p; ++i) {
      if (i == k) {
        mpfr_set(zk.x, z.x, MPFR_RNDN);
        mpfr_set(zk.y, z.y, MPFR_RNDN);
        mpfr_set(dzk.x, dz.x, MPFR_RNDN);
        mpfr_set(dzk.y, dz.y, MPFR_RNDN);
      }
      // dz <- 2 z dz - 1
      mpfr_mul(t, z.x, dz.x, MPFR_RNDN);
      mpfr_mul(u, z.y, dz.y, MPFR_RNDN);
      mpfr_sub(t, t, u, MPFR_RNDN);
      mpfr_mul(u, z.x, dz.y, MPFR_RNDN);
      mpfr_mul(den, z.y, dz.x, MPFR_RNDN);
      mpfr_add(u, u, den, MPFR_RNDN);
      mpfr_mul_2ui(dz.x, t, 1, MPFR_RNDN);
      mpfr_sub_ui(dz.x, dz.x, 1, MPFR_RNDN);
      mpfr_mul_2ui(dz.y, u, 1, MPFR_RNDN);
      // z <- z^2 - c
      mpfr_mul(t, z.x, z.y, MPFR_RNDN);
      mpfr_sqr(u, z.x, MPFR_RNDN);
      mpfr_sqr(z.x, z.y, MPFR_RNDN);
      mpfr_sub(z.x, u, z.x, MPFR_RNDN);
      mpfr_sub(z.x, z.x, c.x, MPFR_RNDN);
      mpfr_mul_2ui(z.y, t, 1, MPFR_RNDN);
      mpfr_sub(z.y, z.y, c.y, MPFR_RNDN);
    }
    // c <- c - f / df with f = z_{k+p} - z_k, df = dz_{k+p} - dz_k
    mpfr_sub(f.x, z.x, zk.x, MPFR_RNDN);
    mpfr_sub(f.y, z.y, zk.y, MPFR_RNDN);
    mpfr_sub(df.x, dz.x, dzk.x, MPFR_RNDN);
    mpfr_sub(df.y, dz.y, dzk.y, MPFR_RNDN);
    mpfr_sqr(den, df.x, MPFR_RNDN);
    mpfr_sqr(t, df.y, MPFR_RNDN);
    mpfr_add(den, den, t, MPFR_RNDN);
    mpfr_mul(t, f.x, df.x, MPFR_RNDN);
    mpfr_mul(u, f.y, df.y, MPFR_RNDN);
    mpfr_add(t, t, u, MPFR_RNDN);
    mpfr_mul(u, f.x, df.y, MPFR_RNDN);
    mpfr_mul(z.x, f.y, df.x, MPFR_RNDN);
    mpfr_sub(u, u, z.x, MPFR_RNDN);  // f.x df.y - f.y df.x = -Im(f conj df)
    mpfr_div(t, t, den, MPFR_RNDN);
    mpfr_div(u, u, den, MPFR_RNDN);
    mpfr_sub(c.x, c.x, t, MPFR_RNDN);
    mpfr_add(c.y, c.y, u, MPFR_RNDN);
  }
  mpfr_clears(t, u, den, static_cast<mpfr_ptr>(nullptr));
}

// The Misiurewicz point of preperiod k and period 1 near the double seed (sx, sy).
inline void misiurewicz(double sx, double sy, int k, long prec, MpComplex& c) {
  mpfr_set_d(c.x, sx, MPFR_RNDN);
  mpfr_set_d(c.y, sy, MPFR_RNDN);
  // Newton doubles the correct bits per step: 53 -> prec needs log2(prec / 53) + a few.
  newton_root(c, k, 1, prec, 8 + static_cast<int>(std::log2(static_cast<double>(prec) / 53.0 + 1.0)));
}

}  // namespace zd::test
