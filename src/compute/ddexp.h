// ddexp.h — complex numbers of about 106 bits with a wide exponent (double-double mantissas),
// for the few deep points whose counts doubles cannot settle.
#pragma once
#include <cmath>
#include <cstdint>

#include "compute/floatexp.h"

namespace zd {

// An unevaluated sum hi + lo with |lo| <= ulp(hi) / 2: about 106 bits. The operations are the
// classical error-free transformations (Dekker, Knuth), written with separate multiplies and
// adds only, so that every machine gives the same bits.
struct DD {
  double hi = 0.0, lo = 0.0;

  static DD two_sum(double a, double b) {
    const double s = a + b, bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
  }
  static DD quick_two_sum(double a, double b) {  // |a| >= |b|
    const double s = a + b;
    return {s, b - (s - a)};
  }
  static void split(double a, double& hi, double& lo) {
    const double t = 134217729.0 * a;  // 2^27 + 1
    hi = t - (t - a);
    lo = a - hi;
  }
  static DD two_prod(double a, double b) {
    const double p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
  }
  friend DD operator+(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    const DD t = two_sum(a.lo, b.lo);
    s = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(s.hi, s.lo + t.lo);
  }
  friend DD operator-(DD a) { return {-a.hi, -a.lo}; }
  friend DD operator-(DD a, DD b) { return a + (-b); }
  friend DD operator*(DD a, DD b) {
    DD p = two_prod(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
  }
  // Times 2^k, exact while the parts stay normal.
  DD scaled(double pow2) const { return {hi * pow2, lo * pow2}; }
};

// (x + iy) 2^e, normalised so that the larger of |x.hi|, |y.hi| lies in [1, 2) (or both are 0).
struct CDDExp {
  DD x, y;
  std::int64_t e = FloatExp::kZeroExp;

  bool zero() const { return x.hi == 0.0 && y.hi == 0.0; }
  static CDDExp make(DD x, DD y, std::int64_t e) {
    CDDExp r;
    const double big = std::max(std::fabs(x.hi), std::fabs(y.hi));
    if (big == 0.0 || !std::isfinite(big)) {
      r.x = x;
      r.y = y;
      if (big != 0.0) r.e = 0;
      return r;
    }
    const std::int64_t k = FloatExp::make(big, 0).e;
    const double s = k > -1000 && k < 1000 ? FloatExp::pow2(-k) : 0.0;
    if (s != 0.0) {
      r.x = x.scaled(s);
      r.y = y.scaled(s);
    } else {
      r.x = {std::ldexp(x.hi, static_cast<int>(-k)), std::ldexp(x.lo, static_cast<int>(-k))};
      r.y = {std::ldexp(y.hi, static_cast<int>(-k)), std::ldexp(y.lo, static_cast<int>(-k))};
    }
    r.e = e + k;
    return r;
  }
  static CDDExp of(const CFloatExp& c) { return c.zero() ? CDDExp() : make({c.x, 0.0}, {c.y, 0.0}, c.e); }

  friend CDDExp operator*(const CDDExp& a, const CDDExp& b) {
    if (a.zero() || b.zero()) return CDDExp();
    return make(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x, a.e + b.e);
  }
  friend CDDExp operator+(const CDDExp& a, const CDDExp& b) {
    if (b.zero()) return a;
    if (a.zero()) return b;
    const CDDExp& hi = a.e >= b.e ? a : b;
    const CDDExp& lo = a.e >= b.e ? b : a;
    const std::int64_t d = lo.e - hi.e;
    if (d < -120) return hi;
    const double s = FloatExp::pow2(d);
    return make(hi.x + lo.x.scaled(s), hi.y + lo.y.scaled(s), hi.e);
  }
  friend CDDExp operator-(const CDDExp& a) {
    CDDExp r = a;
    r.x = -r.x;
    r.y = -r.y;
    return r;
  }
  friend CDDExp operator-(const CDDExp& a, const CDDExp& b) { return a + (-b); }
  CDDExp twice() const {
    CDDExp r = *this;
    if (!zero()) ++r.e;
    return r;
  }
  // |z|^2 to about 53 bits.
  FloatExp norm() const {
    if (zero()) return FloatExp();
    return FloatExp::make(x.hi * x.hi + y.hi * y.hi, 2 * e);
  }
};

}  // namespace zd
