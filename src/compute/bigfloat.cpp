// bigfloat.cpp — the MPFR wrapper: construction, parsing, conversion and printing.
#include "compute/bigfloat.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <string>

namespace zd {

namespace {
long clamp_precision(long p) { return std::clamp<long>(p, MPFR_PREC_MIN, MPFR_PREC_MAX); }
long prec_of(const BigFloat& a, const BigFloat& b) { return std::max(a.precision(), b.precision()); }
}  // namespace

BigFloat::BigFloat(long precision) {
  mpfr_init2(v_, clamp_precision(precision));
  mpfr_set_zero(v_, 1);
}

BigFloat::BigFloat(double d, long precision) {
  mpfr_init2(v_, clamp_precision(precision));
  mpfr_set_d(v_, d, MPFR_RNDN);
}

BigFloat::BigFloat(FloatExp v, long precision) {
  mpfr_init2(v_, clamp_precision(precision));
  mpfr_set_d(v_, v.m, MPFR_RNDN);
  if (v.finite() && !v.zero()) {
    // Within MPFR's default exponent range (+-2^30 bits): depths to 1e-300000000.
    mpfr_mul_2si(v_, v_, static_cast<long>(v.e), MPFR_RNDN);
  }
}

BigFloat::BigFloat(const BigFloat& o) {
  mpfr_init2(v_, mpfr_get_prec(o.v_));
  mpfr_set(v_, o.v_, MPFR_RNDN);
}

BigFloat::BigFloat(BigFloat&& o) noexcept {
  // The moved-from object keeps a valid (small) number so that its destructor and assignment
  // still work.
  mpfr_init2(v_, MPFR_PREC_MIN);
  mpfr_swap(v_, o.v_);
}

BigFloat& BigFloat::operator=(const BigFloat& o) {
  if (this != &o) {
    mpfr_set_prec(v_, mpfr_get_prec(o.v_));
    mpfr_set(v_, o.v_, MPFR_RNDN);
  }
  return *this;
}

BigFloat& BigFloat::operator=(BigFloat&& o) noexcept {
  mpfr_swap(v_, o.v_);
  return *this;
}

BigFloat::~BigFloat() { mpfr_clear(v_); }

std::optional<BigFloat> BigFloat::parse(std::string_view s, long precision) {
  const std::string text(s);  // mpfr_strtofr needs a terminated string
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return std::nullopt;
  BigFloat r(precision);
  char* end = nullptr;
  mpfr_strtofr(r.v_, text.c_str(), &end, 10, MPFR_RNDN);
  if (end != text.c_str() + text.size() || !r.finite()) return std::nullopt;
  return r;
}

void BigFloat::set_precision(long precision) { mpfr_prec_round(v_, clamp_precision(precision), MPFR_RNDN); }

BigFloat BigFloat::rounded_to(long k) const {
  BigFloat r(precision());
  mpfr_mul_2si(r.v_, v_, -k, MPFR_RNDN);
  mpfr_rint(r.v_, r.v_, MPFR_RNDN);
  mpfr_mul_2si(r.v_, r.v_, k, MPFR_RNDN);
  return r;
}

double BigFloat::to_double() const { return mpfr_get_d(v_, MPFR_RNDN); }

FloatExp BigFloat::to_floatexp() const {
  if (!finite() || is_zero()) return FloatExp(to_double());
  long e = 0;
  const double m = mpfr_get_d_2exp(&e, v_, MPFR_RNDN);  // [0.5, 1), rounded to 53 bits
  return FloatExp::make(m, e);
}

int BigFloat::exact_digits() const {
  return static_cast<int>(std::ceil(static_cast<double>(precision()) * 0.30102999566398120)) + 1;
}

std::string BigFloat::to_string(int digits) const {
  digits = std::max(digits, 1);
  if (!finite()) return mpfr_nan_p(v_) ? "nan" : (sign() < 0 ? "-inf" : "inf");
  if (is_zero()) return mpfr_signbit(v_) ? "-0" : "0";
  mpfr_exp_t exp10 = 0;
  char* raw = mpfr_get_str(nullptr, &exp10, 10, static_cast<size_t>(digits), v_, MPFR_RNDN);
  std::string m(raw);
  mpfr_free_str(raw);
  // mpfr_get_str gives 0.DDDD * 10^exp10; written as D.DDD e(exp10 - 1). Appended piecewise:
  // GCC 12 warns falsely (-Wrestrict) on chains of string sums.
  std::string out;
  size_t first = 0;
  if (m[0] == '-') {
    out.push_back('-');
    first = 1;
  }
  out.push_back(m[first]);
  if (m.size() > first + 1) {
    out.push_back('.');
    out.append(m, first + 1, std::string::npos);
  }
  out.push_back('e');
  out.append(std::to_string(static_cast<long long>(exp10) - 1));
  return out;
}

BigFloat operator+(const BigFloat& a, const BigFloat& b) {
  BigFloat r(prec_of(a, b));
  mpfr_add(r.v_, a.v_, b.v_, MPFR_RNDN);
  return r;
}
BigFloat operator-(const BigFloat& a, const BigFloat& b) {
  BigFloat r(prec_of(a, b));
  mpfr_sub(r.v_, a.v_, b.v_, MPFR_RNDN);
  return r;
}
BigFloat operator*(const BigFloat& a, const BigFloat& b) {
  BigFloat r(prec_of(a, b));
  mpfr_mul(r.v_, a.v_, b.v_, MPFR_RNDN);
  return r;
}
BigFloat operator+(const BigFloat& a, double d) {
  BigFloat r(std::max(a.precision(), 53L));
  mpfr_add_d(r.v_, a.v_, d, MPFR_RNDN);
  return r;
}
BigFloat operator-(const BigFloat& a, double d) {
  BigFloat r(std::max(a.precision(), 53L));
  mpfr_sub_d(r.v_, a.v_, d, MPFR_RNDN);
  return r;
}
BigFloat operator*(const BigFloat& a, double d) {
  BigFloat r(std::max(a.precision(), 53L));
  mpfr_mul_d(r.v_, a.v_, d, MPFR_RNDN);
  return r;
}
BigFloat operator-(const BigFloat& a) {
  BigFloat r(a.precision());
  mpfr_neg(r.v_, a.v_, MPFR_RNDN);
  return r;
}

std::string to_string(FloatExp x, int digits) {
  if (!x.finite()) return BigFloat(x.m, 64).to_string(digits);
  return BigFloat(x, 64).to_string(digits);  // 64 bits hold the mantissa exactly
}

}  // namespace zd
