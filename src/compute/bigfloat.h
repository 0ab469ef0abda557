// bigfloat.h — arbitrary-precision reals (an owning wrapper over MPFR's mpfr_t) for deep views.
#pragma once
#include <mpfr.h>

#include <optional>
#include <string>
#include <string_view>

#include "compute/floatexp.h"

namespace zd {

// A binary floating-point number with a chosen precision (bits of mantissa, at least 2).
// Every operation rounds to nearest. The result of a binary operation has the larger of the two
// operands' precisions (a double operand counts as 53 bits), so a deep centre keeps its
// precision through the view's arithmetic; set_precision changes it explicitly.
class BigFloat {
 public:
  // Zero.
  explicit BigFloat(long precision = 64);
  // Exactly d when precision >= 53 (d may be infinite or NaN).
  BigFloat(double d, long precision);
  // Exactly v when the precision holds 53 bits more than v's exponent range needs; rounded
  // otherwise (see to_floatexp).
  BigFloat(FloatExp v, long precision);
  BigFloat(const BigFloat& o);
  BigFloat(BigFloat&& o) noexcept;
  BigFloat& operator=(const BigFloat& o);  // takes o's precision too
  BigFloat& operator=(BigFloat&& o) noexcept;
  ~BigFloat();

  // A decimal number such as "-1.25", "3e-5000" or "0.000…" of any length, rounded to the
  // precision; nothing (no value) if s is not one whole finite number.
  static std::optional<BigFloat> parse(std::string_view s, long precision);

  long precision() const { return static_cast<long>(mpfr_get_prec(v_)); }
  // Rounds the value to the new precision.
  void set_precision(long precision);

  // Rounded to nearest; to infinity above the double range and to subnormals or 0 below it.
  double to_double() const;
  // Rounded to nearest double mantissa; the exponent never overflows.
  FloatExp to_floatexp() const;
  // Scientific notation with `digits` significant decimal digits, e.g. "-1.2500000e-5000".
  // ceil(precision * log10(2)) + 1 digits read back (parse at the same precision) exactly.
  std::string to_string(int digits) const;
  // Enough digits to read back exactly.
  int exact_digits() const;

  bool is_zero() const { return mpfr_zero_p(v_) != 0; }
  bool finite() const { return mpfr_number_p(v_) != 0; }
  int sign() const { return mpfr_sgn(v_); }
  // floor(log2 |x|) for a nonzero finite value.
  long ilogb() const { return static_cast<long>(mpfr_get_exp(v_)) - 1; }
  // The multiple of 2^k nearest to the value (ties to even), at the same precision: exact, as
  // it has no more bits than the value.
  BigFloat rounded_to(long k) const;

  friend BigFloat operator+(const BigFloat& a, const BigFloat& b);
  friend BigFloat operator-(const BigFloat& a, const BigFloat& b);
  friend BigFloat operator*(const BigFloat& a, const BigFloat& b);
  friend BigFloat operator+(const BigFloat& a, double d);
  friend BigFloat operator-(const BigFloat& a, double d);
  friend BigFloat operator*(const BigFloat& a, double d);
  friend BigFloat operator-(const BigFloat& a);
  BigFloat& operator+=(const BigFloat& b) { return *this = *this + b; }
  BigFloat& operator-=(const BigFloat& b) { return *this = *this - b; }
  BigFloat& operator*=(const BigFloat& b) { return *this = *this * b; }

  // NaN compares false, as for doubles.
  friend bool operator<(const BigFloat& a, const BigFloat& b) { return mpfr_less_p(a.v_, b.v_) != 0; }
  friend bool operator>(const BigFloat& a, const BigFloat& b) { return b < a; }
  friend bool operator<=(const BigFloat& a, const BigFloat& b) { return mpfr_lessequal_p(a.v_, b.v_) != 0; }
  friend bool operator>=(const BigFloat& a, const BigFloat& b) { return b <= a; }
  friend bool operator==(const BigFloat& a, const BigFloat& b) { return mpfr_equal_p(a.v_, b.v_) != 0; }

  mpfr_ptr get() { return v_; }
  mpfr_srcptr get() const { return v_; }

 private:
  mpfr_t v_;
};

// x with `digits` significant decimal digits, through MPFR (exact conversion first).
std::string to_string(FloatExp x, int digits);

}  // namespace zd
