// viewpoint.cpp — zoom and pans of the view, shallow in the design's doubles, deep by exact
// additions to a centre of growing precision.
#include "compute/viewpoint.h"

#include "compute/picture.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace zd {

namespace {

constexpr double ZOOM = 0.9;  // multiplied in, divided out (not multiplied by 1/0.9)
constexpr double LIMIT_FACTOR = 1.02;
constexpr double LIMIT_CEILING = 64250.0;  // 64250 * 1.02 = 65535

// An offset added to a deep centre: exact, the centre carrying enough bits (precision_needed).
void add_exactly(BigFloat& c, FloatExp offset) { c += BigFloat(offset, 64); }

std::string trimmed(const std::string& s);

std::string g17(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// %.17g where the value is a normal double, else 17 significant digits in extended range.
std::string g17(FloatExp v) {
  const double d = v.to_double();
  if (d != 0.0 && std::isnormal(d)) return g17(d);
  return to_string(v, 17);
}

}  // namespace

int limit_of(double m) {
  if (std::isnan(m)) return 0;
  if (m >= 2147483648.0) return INT_MAX;
  if (m <= -2147483649.0) return INT_MIN;
  return static_cast<int>(m);
}

View View::of_doubles(double xm, double ym, double xst, double yst, double m) {
  View v;
  v.xmit = xm;
  v.ymit = ym;
  v.xstep = xst;
  v.ystep = yst;
  v.maxit = m;
  v.take_doubles();
  v.settle();
  return v;
}

void View::keep_exact_centre(const BigFloat& x, const BigFloat& y, const std::string& x_text,
                             const std::string& y_text) {
  if (deep) return;
  cx = x;
  cy = y;
  cx_text = trimmed(x_text);
  cy_text = trimmed(y_text);
  seen_x = xmit;
  seen_y = ymit;
}

View View::of_exact(const BigFloat& x, const BigFloat& y, FloatExp xs, FloatExp ys, double m,
                    const std::string& x_text, const std::string& y_text) {
  View v;
  v.cx_text = trimmed(x_text);
  v.cy_text = trimmed(y_text);
  v.xmit = x.to_double();
  v.ymit = y.to_double();
  v.xs = xs;
  v.ys = ys;
  v.maxit = m;
  v.cx = x;
  v.cy = y;
  v.seen_x = v.xmit;
  v.seen_y = v.ymit;
  v.deep = true;  // the numbers as given are the view until settle() decides
  v.settle();
  return v;
}

void View::zoom_in() {
  take_doubles();
  const FloatExp x = xs * ZOOM, y = ys * ZOOM;
  if (x.zero() || y.zero()) return;  // beyond even the extended range: nothing left to see
  xs = x;
  ys = y;
  if (maxit < LIMIT_CEILING) maxit = maxit * LIMIT_FACTOR;
  settle();
}

void View::zoom_out() {
  take_doubles();
  const FloatExp x = xs / ZOOM, y = ys / ZOOM;
  if (abs(x) > FloatExp(STEP_CEILING) || abs(y) > FloatExp(STEP_CEILING)) return;
  xs = x;
  ys = y;
  maxit = maxit / LIMIT_FACTOR;
  settle();
}

void View::exact_pan(double px, double py) {
  take_doubles();
  if (deep) {
    add_exactly(cx, ((xs * px) * ONE_THIRD) / 40.0);
    add_exactly(cy, ((ys * py) * ONE_THIRD) / 20.0);
    if (px != 0) cx_text.clear();
    if (py != 0) cy_text.clear();
  } else {
    xmit = xmit + ((xstep * px) * ONE_THIRD) / 40.0;
    ymit = ymit + ((ystep * py) * ONE_THIRD) / 20.0;
    take_doubles();
  }
  settle();
}

namespace {

// The half-extents of a width x height picture of a view: the longer side's grows by the ratio
// of the aspects (none for 4:3), in the view's own arithmetic (doubles while shallow).
void fit(int width, int height, bool deep, double& xstep, double& ystep, FloatExp& xs,
         FloatExp& ys) {
  const long long wide = static_cast<long long>(DESIGN_H) * width;
  const long long high = static_cast<long long>(DESIGN_W) * height;
  if (wide == high) return;
  const double f = wide > high ? static_cast<double>(wide) / static_cast<double>(high)
                               : static_cast<double>(high) / static_cast<double>(wide);
  double& step = wide > high ? xstep : ystep;
  FloatExp& s = wide > high ? xs : ys;
  if (deep) {
    s = s * f;
    step = s.to_double();
  } else {
    step = step * f;
    s = FloatExp(step);
  }
}

}  // namespace

void View::pixel_pan(int sx, int columns, int width, int sy, int rows, int height) {
  take_doubles();
  // In exact arithmetic these move the centre by whole columns and rows of the picture, whose
  // half-extents are the fitted ones.
  const double pxs = ((static_cast<double>(sx * columns) / ONE_THIRD) / width) * 80.0;
  const double pys = ((static_cast<double>(sy * rows) / ONE_THIRD) / height) * 40.0;
  double xst = xstep, yst = ystep;
  FloatExp fxs = xs, fys = ys;
  fit(width, height, deep, xst, yst, fxs, fys);
  if (deep) {
    add_exactly(cx, ((fxs * pxs) * ONE_THIRD) / 40.0);
    add_exactly(cy, ((fys * pys) * ONE_THIRD) / 20.0);
    if (sx != 0) cx_text.clear();
    if (sy != 0) cy_text.clear();
  } else {
    xmit = xmit + ((xst * pxs) * ONE_THIRD) / 40.0;
    ymit = ymit + ((yst * pys) * ONE_THIRD) / 20.0;
    take_doubles();
  }
  settle();
}

View View::fitted(int width, int height) const {
  View pv = *this;
  pv.take_doubles();
  fit(width, height, pv.deep, pv.xstep, pv.ystep, pv.xs, pv.ys);
  if (!pv.deep) {
    // settle()'s rule at the picture's pitch.
    const FloatExp px = abs(pv.xs) * 2.0 / static_cast<double>(width);
    const FloatExp py = abs(pv.ys) * 2.0 / static_cast<double>(height);
    const FloatExp pitch = px < py ? px : py;
    const double big = std::max(std::fabs(pv.xmit), std::fabs(pv.ymit));
    pv.deep = pitch < FloatExp(std::ldexp(big, -DEEP_BITS));
  }
  return pv;
}

Region View::region(int column, int row, int width, int height) const {
  if (deep) {
    // Pixel offsets from the centre: exact in doubles, and so are their running sums.
    return {static_cast<double>(column) - width / 2, 1.0, static_cast<double>(row) - height / 2,
            -1.0};
  }
  // The design's forms: from the left or bottom edge for regions that start there, from the
  // opposite edge back for those that end there (the pans' strips).
  const double colstep = (xstep * 2.0) / width, rowstep = (ystep * 2.0) / height;
  const double x0 = column == 0 ? xmit - xstep : (xmit + xstep) - colstep * (width - column);
  const double y0 = row == 0 ? ymit + ystep : (ymit - ystep) + rowstep * (height - row);
  return {x0, colstep, y0, rowstep};
}

std::string View::numbers() const {
  if (!deep) return g17(xmit) + " " + g17(ymit) + " " + g17(xstep) + " " + g17(ystep) + " " + g17(maxit);
  const std::string x = cx_text.empty() ? cx.to_string(digits_for(cx.precision())) : cx_text;
  const std::string y = cy_text.empty() ? cy.to_string(digits_for(cy.precision())) : cy_text;
  return x + " " + y + " " + g17(xs) + " " + g17(ys) + " " + g17(maxit);
}

int View::digits_for(long bits) { return static_cast<int>(mpfr_get_str_ndigits(10, bits)); }

long View::precision_for(int digits) {
  // About digits / log10(2) bits; then the largest that digits_for still maps to `digits`.
  long p = std::max(2L, static_cast<long>((digits - 1) / 0.30102999566398120) - 2);
  while (p > 2 && digits_for(p) > digits) --p;
  while (digits_for(p + 1) <= digits) ++p;
  return p;
}

namespace {

// Blanks around a number are allowed, as for the doubles.
std::string trimmed(const std::string& s) {
  const char* blanks = " \t\n\r\f\v";
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(blanks) - first + 1);
}

// Significant digits of a decimal number: those of its mantissa from the first non-zero one.
int significant_digits(const std::string& s) {
  int n = 0;
  bool started = false;
  for (char ch : s) {
    if (ch == 'e' || ch == 'E') break;
    if (ch < '0' || ch > '9') continue;
    started = started || ch != '0';
    n += started;
  }
  return std::max(n, 1);
}

}  // namespace

std::optional<BigFloat> View::read_centre(const std::string& text, bool edge) {
  const std::string s = trimmed(text);
  if (s.empty()) return std::nullopt;
  const long bits = edge ? 128 + 4 * static_cast<long>(s.size())
                         : std::max(64L, precision_for(significant_digits(s)));
  if (auto v = BigFloat::parse(s, bits)) return v;
  // What only the C library reads (hexadecimal numbers) is a double, exactly.
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  if (end == s.c_str() + s.size() && std::isfinite(d)) return BigFloat(d, 64);
  return std::nullopt;
}

std::optional<FloatExp> View::read_half_extent(const std::string& text) {
  const std::string s = trimmed(text);
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  if (s.empty() || end != s.c_str() + s.size() || !std::isfinite(d)) return std::nullopt;
  if (d == 0.0 || std::isnormal(d)) {
    if (d != 0.0) return FloatExp(d);
  }
  // Beyond the doubles' range (or rounded to 0 there): one rounding to a double mantissa.
  if (auto v = BigFloat::parse(s, 53)) return v->to_floatexp();
  return FloatExp(d);
}

long View::precision_needed() const {
  long above = 0;
  for (double c : {xmit, ymit}) {
    if (c != 0.0 && std::isfinite(c)) above = std::max(above, static_cast<long>(std::ilogb(c)) + 1);
  }
  const FloatExp px = abs(xs) * 2.0 / double{DESIGN_W}, py = abs(ys) * 2.0 / double{DESIGN_H};
  const FloatExp pitch = px < py ? px : py;
  const long below = pitch.zero() ? 64 : static_cast<long>(std::max<std::int64_t>(-pitch.ilogb(), 0));
  return 64 + above + below;
}

void View::take_doubles() {
  if (deep) return;
  xs = FloatExp(xstep);
  ys = FloatExp(ystep);
  take_centre();
}

void View::take_centre() {
  // A centre moved by shallow arithmetic (or set directly) is exactly its doubles.
  if (xmit != seen_x) {
    cx = BigFloat(xmit, 64);
    seen_x = xmit;
    cx_text.clear();
  }
  if (ymit != seen_y) {
    cy = BigFloat(ymit, 64);
    seen_y = ymit;
    cy_text.clear();
  }
}

void View::settle() {
  xstep = xs.to_double();
  ystep = ys.to_double();
  // The rule, a function of the view alone: doubles suffice while the pitch is at least 2^-47
  // of the centre's larger coordinate (the design's running sums then keep each pixel's point
  // within a small part of a pitch) and the half-extents are normal doubles well away from
  // the bottom of their range.
  const FloatExp px = abs(xs) * 2.0 / double{DESIGN_W}, py = abs(ys) * 2.0 / double{DESIGN_H};
  const FloatExp pitch = px < py ? px : py;
  const double big = std::max(std::fabs(xmit), std::fabs(ymit));
  const bool want = abs(xs) < FloatExp(STEP_DEEP) || abs(ys) < FloatExp(STEP_DEEP) ||
                    pitch < FloatExp(std::ldexp(big, -DEEP_BITS));
  if (want && !deep) {
    take_centre();
    deep = true;  // from the exact centre the doubles stand for
  } else if (!want && deep) {
    xmit = seen_x = cx.to_double();
    ymit = seen_y = cy.to_double();
    deep = false;
    return;
  }
  if (!deep) return;
  // The centre's precision grows with the depth, through canonical values (see digits_for);
  // it keeps digits it was given beyond that.
  // A centre still as it was given is the given number at the new precision, not its rounding
  // at fewer bits carried on: pixels of a deep view move with its centre's rounding, and near
  // the set a millionth of a pixel changes many counts.
  for (auto [c, text] : {std::pair{&cx, &cx_text}, std::pair{&cy, &cy_text}}) {
    const long bits = canonical(std::max(precision_needed(), c->precision()));
    if (c->precision() == bits) continue;
    if (auto given = text->empty() ? std::nullopt : BigFloat::parse(*text, bits)) {
      *c = std::move(*given);
    } else {
      c->set_precision(bits);  // only ever more bits: exact
    }
  }
  xmit = cx.to_double();
  ymit = cy.to_double();
}

}  // namespace zd
