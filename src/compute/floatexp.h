// floatexp.h — extended-range reals and complex numbers: a double mantissa with a 64-bit exponent.
#pragma once
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace zd {

// The value m * 2^e with m = 0 or 1 <= |m| < 2. Deep views need pitches and per-pixel
// differences far below 1e-308 (down to 1e-10000 and beyond), and the products of long runs of
// orbit derivatives far above 1e308; a double's 11-bit exponent holds neither. The exponent is
// 64 bits wide so that sums of exponents (products, squares of squares) can never overflow in
// practice, and the mantissa is a plain double so that arithmetic is the double arithmetic:
// every operation rounds its result once, to nearest, exactly where a double would. So where
// operands and result are normal doubles, the result is bit-identical to the double result
// (the view's zoom steps, * 0.9 and / 0.9, stay those of plain doubles).
// Zero is m = 0 with a very low exponent; an infinite or NaN m keeps e = 0.
struct FloatExp {
  static constexpr std::int64_t kZeroExp = INT64_MIN / 4;
  double m = 0.0;
  std::int64_t e = kZeroExp;

  constexpr FloatExp() = default;
  // Exact.
  explicit FloatExp(double d) { *this = make(d, 0); }
  // m * 2^e, normalised; exact for any finite m.
  static FloatExp make(double m, std::int64_t e) {
    FloatExp r;
    if (m == 0.0) {
      r.m = m;  // keeps the sign of a zero
      return r;
    }
    std::uint64_t bits = std::bit_cast<std::uint64_t>(m);
    std::int64_t be = static_cast<std::int64_t>((bits >> 52) & 0x7ff);
    if (be == 0x7ff) {  // inf or NaN
      r.m = m;
      r.e = 0;
      return r;
    }
    if (be == 0) {  // subnormal: scale into the normal range first (exact)
      m *= 0x1p54;
      e -= 54;
      bits = std::bit_cast<std::uint64_t>(m);
      be = static_cast<std::int64_t>((bits >> 52) & 0x7ff);
    }
    r.m = std::bit_cast<double>((bits & ~(std::uint64_t{0x7ff} << 52)) | (std::uint64_t{1023} << 52));
    r.e = e + be - 1023;
    return r;
  }
  // 2^k as a double, for -1022 <= k <= 1023.
  static double pow2(std::int64_t k) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
  }

  bool zero() const { return m == 0.0; }
  bool finite() const { return std::isfinite(m); }

  // Rounded to nearest, to a subnormal or zero below the double range and to infinity above it.
  double to_double() const {
    if (m == 0.0 || !std::isfinite(m)) return m;
    if (e > 1024) return std::copysign(HUGE_VAL, m);
    if (e < -1100) return std::copysign(0.0, m);
    return std::ldexp(m, static_cast<int>(e));
  }

  // Exponent of the leading bit (floor of log2 |x|); kZeroExp for zero.
  std::int64_t ilogb() const { return e; }

  friend FloatExp operator-(FloatExp a) {
    a.m = -a.m;
    return a;
  }
  friend FloatExp abs(FloatExp a) {
    a.m = std::fabs(a.m);
    return a;
  }
  friend FloatExp ldexp(FloatExp a, std::int64_t k) {
    if (a.m != 0.0 && std::isfinite(a.m)) a.e += k;
    return a;
  }

  friend FloatExp operator*(FloatExp a, FloatExp b) {
    if (!std::isfinite(a.m) || !std::isfinite(b.m)) return inf_nan(a.m * b.m);
    if (a.m == 0.0 || b.m == 0.0) return make(a.m * b.m, 0);
    return make(a.m * b.m, a.e + b.e);  // [1, 4): one rounding, as the double product
  }
  friend FloatExp operator/(FloatExp a, FloatExp b) {
    if (!std::isfinite(a.m) || !std::isfinite(b.m) || b.m == 0.0) {
      return inf_nan(b.m == 0.0 || !std::isfinite(b.m) ? a.m / b.m : a.m);
    }
    if (a.m == 0.0) return make(a.m / b.m, 0);
    return make(a.m / b.m, a.e - b.e);
  }
  friend FloatExp operator+(FloatExp a, FloatExp b) {
    if (!std::isfinite(a.m) || !std::isfinite(b.m)) return inf_nan(a.m + b.m);
    if (b.m == 0.0) return a.m == 0.0 ? make(a.m + b.m, 0) : a;
    if (a.m == 0.0) return b;
    if (a.e < b.e) std::swap(a, b);
    const std::int64_t d = b.e - a.e;
    // Less than a quarter of a's last place: the sum rounds to a, as it would in doubles.
    if (d < -60) return a;
    return make(a.m + b.m * pow2(d), a.e);  // the scaling is exact: one rounding, in the sum
  }
  friend FloatExp operator-(FloatExp a, FloatExp b) { return a + (-b); }

  friend FloatExp operator*(FloatExp a, double d) { return a * FloatExp(d); }
  friend FloatExp operator*(double d, FloatExp a) { return FloatExp(d) * a; }
  friend FloatExp operator/(FloatExp a, double d) { return a / FloatExp(d); }
  friend FloatExp operator+(FloatExp a, double d) { return a + FloatExp(d); }
  friend FloatExp operator-(FloatExp a, double d) { return a - FloatExp(d); }
  FloatExp& operator*=(FloatExp b) { return *this = *this * b; }
  FloatExp& operator/=(FloatExp b) { return *this = *this / b; }
  FloatExp& operator+=(FloatExp b) { return *this = *this + b; }
  FloatExp& operator-=(FloatExp b) { return *this = *this - b; }

  // Comparisons of ordered values (NaN compares false, as for doubles).
  friend bool operator<(FloatExp a, FloatExp b) {
    if (std::isnan(a.m) || std::isnan(b.m)) return false;
    if (!std::isfinite(a.m) || !std::isfinite(b.m)) return a.to_double() < b.to_double();
    return (a - b).m < 0.0;
  }
  friend bool operator>(FloatExp a, FloatExp b) { return b < a; }
  friend bool operator<=(FloatExp a, FloatExp b) { return !(b < a) && !std::isnan(a.m) && !std::isnan(b.m); }
  friend bool operator>=(FloatExp a, FloatExp b) { return b <= a; }
  friend bool operator==(FloatExp a, FloatExp b) {
    if (a.m == 0.0 || b.m == 0.0) return a.m == b.m;
    return a.m == b.m && (a.e == b.e || !std::isfinite(a.m));
  }

 private:
  static FloatExp inf_nan(double v) {
    FloatExp r;
    r.m = v;
    r.e = 0;
    return r;
  }
};

// A complex number (x + iy) * 2^e with one exponent for both parts, normalised so that the
// larger part lies in [1, 2) (or both are 0). One exponent keeps a step of the perturbation
// loop at the price of a few double operations and one normalisation; the smaller part may
// lose bits below 2^-1022 of the larger, which is far beneath the rounding of the larger.
struct CFloatExp {
  double x = 0.0, y = 0.0;
  std::int64_t e = FloatExp::kZeroExp;

  constexpr CFloatExp() = default;
  CFloatExp(double re, double im) { *this = make(re, im, 0); }
  CFloatExp(FloatExp re, FloatExp im) {
    if (re.zero() && im.zero()) return;
    const std::int64_t k = re.zero() ? im.e : im.zero() ? re.e : std::max(re.e, im.e);
    *this = make(scaled(re, -k), scaled(im, -k), k);
  }
  static CFloatExp make(double x, double y, std::int64_t e) {
    CFloatExp r;
    const double big = std::max(std::fabs(x), std::fabs(y));
    if (big == 0.0 || !std::isfinite(big)) {
      r.x = x;
      r.y = y;
      r.e = big == 0.0 ? FloatExp::kZeroExp : 0;
      return r;
    }
    const FloatExp n = FloatExp::make(big, 0);  // big = n.m * 2^n.e
    if (n.e > -1000 && n.e < 1000) {
      const double s = FloatExp::pow2(-n.e);
      r.x = x * s;
      r.y = y * s;
    } else {  // 2^-n.e itself would leave the double range
      r.x = std::ldexp(x, static_cast<int>(-n.e));
      r.y = std::ldexp(y, static_cast<int>(-n.e));
    }
    r.e = e + n.e;
    return r;
  }

  bool zero() const { return x == 0.0 && y == 0.0; }
  FloatExp re() const { return FloatExp::make(x, 0) * FloatExp::make(1.0, e); }
  FloatExp im() const { return FloatExp::make(y, 0) * FloatExp::make(1.0, e); }
  // |z|^2 and the larger of |x|, |y| (cheap, within a factor sqrt 2 of |z|).
  FloatExp norm() const {
    if (zero()) return FloatExp();
    return FloatExp::make(x * x + y * y, 2 * e);
  }
  FloatExp maxabs() const {
    if (zero()) return FloatExp();
    return FloatExp::make(std::max(std::fabs(x), std::fabs(y)), e);
  }
  // Both parts as doubles (rounded, to 0 or infinity outside the range).
  double dx() const { return zero() ? x : ldexp_clamped(x, e); }
  double dy() const { return zero() ? y : ldexp_clamped(y, e); }

  friend CFloatExp operator-(CFloatExp a) {
    a.x = -a.x;
    a.y = -a.y;
    return a;
  }
  friend CFloatExp operator*(const CFloatExp& a, const CFloatExp& b) {
    if (a.zero() || b.zero()) return CFloatExp();
    return make(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x, a.e + b.e);
  }
  friend CFloatExp operator*(const CFloatExp& a, FloatExp s) {
    if (a.zero() || s.zero()) return CFloatExp();
    return make(a.x * s.m, a.y * s.m, a.e + s.e);
  }
  friend CFloatExp operator+(const CFloatExp& a, const CFloatExp& b) {
    if (b.zero()) return a;
    if (a.zero()) return b;
    const CFloatExp& hi = a.e >= b.e ? a : b;
    const CFloatExp& lo = a.e >= b.e ? b : a;
    const std::int64_t d = lo.e - hi.e;
    if (d < -60) return hi;
    const double s = FloatExp::pow2(d);
    return make(hi.x + lo.x * s, hi.y + lo.y * s, hi.e);
  }
  friend CFloatExp operator-(const CFloatExp& a, const CFloatExp& b) { return a + (-b); }
  friend CFloatExp operator/(const CFloatExp& a, const CFloatExp& b) {
    const double den = b.x * b.x + b.y * b.y;  // b is normalised: no overflow, no underflow
    return make((a.x * b.x + a.y * b.y) / den, (a.y * b.x - a.x * b.y) / den, a.e - b.e);
  }
  // The square, in fewer operations than a * a.
  CFloatExp sqr() const {
    if (zero()) return CFloatExp();
    return make((x - y) * (x + y), 2.0 * x * y, 2 * e);
  }

 private:
  static double scaled(FloatExp v, std::int64_t k) {
    if (v.zero()) return 0.0;
    const std::int64_t t = v.e + k;
    return t < -1100 ? 0.0 : std::ldexp(v.m, static_cast<int>(t));
  }
  static double ldexp_clamped(double v, std::int64_t k) {
    if (k > 1100) return v * HUGE_VAL;
    if (k < -1200) return v * 0.0;
    return std::ldexp(v, static_cast<int>(k));
  }
};

}  // namespace zd
