// viewpoint.h — the view and its arithmetic (zoom, exact pan, re-use pan): the design's doubles
// while the view is shallow, a centre of the precision its depth needs once it is deep. A value:
// the loop changes it, pictures are computed from it.
#pragma once
#include <optional>
#include <string>

#include "compute/bigfloat.h"
#include "compute/floatexp.h"

namespace zd {

// Pan multiplier: the double nearest to 1/3, multiplied (and divided) exactly where the
// view arithmetic says, so that views are bit-exact.
constexpr double ONE_THIRD = 0.3333333333333333;

// The iteration limit handed to the renderer: maxit truncated toward zero, saturated at the
// ends of int (the truncation of a double outside them would be undefined).
int limit_of(double m);

// Where a region's points lie, as the renderer takes them: the point of its first column and
// row, and the step per column and per row (y decreases upward). For a deep view these are
// walk coordinates, pixel offsets from the centre (see View::deep).
struct Region {
  double x0, dx, y0, dy;
};

struct View {
  // The view state. While shallow these are the view, computed exactly as the design says
  // (whoever changes them directly changes the view). While deep they are the view rounded to
  // doubles (the half-extents perhaps to 0 or a subnormal), for messages and for the
  // shallow-or-deep rule; cx, cy, xs, ys are the view.
  double xmit = 0, ymit = 0, xstep = 0, ystep = 0, maxit = 0;
  // The half-extents in extended range: taken from xstep and ystep while the view is shallow
  // (the zoom's multiplication and division give the same bits either way), and going on
  // below them while deep.
  FloatExp xs, ys;
  // A deep view: its pixel pitch is below 2^-47 of the larger coordinate of its centre (beyond
  // that doubles put neighbouring pixels on one point) or its half-extents below STEP_DEEP.
  bool deep = false;
  // The centre. While deep it is the view's; while shallow it is the exact point that the
  // doubles xmit and ymit stand for (the digits a user gave, the point a dive left), kept as
  // long as nothing but zooming changes the view, so that a dive into it keeps every digit.
  BigFloat cx{64}, cy{64};
  double seen_x = 0, seen_y = 0;  // the xmit and ymit that cx and cy stand for
  // The numbers the centre was read from, as given, while it has not moved since: printed as
  // they were given, every digit the same.
  std::string cx_text, cy_text;

  // Below this half-extent every view is deep: it keeps every shallow pixel pitch and pan
  // offset a normal double.
  static constexpr double STEP_DEEP = 1e-290;
  // Zooming out stops here (far beyond the whole set; nothing overflows).
  static constexpr double STEP_CEILING = 1e290;
  // Pitch against centre below which a view is deep (bits).
  static constexpr int DEEP_BITS = 47;

  // The shallow view of the state (xmit, ymit, xstep, ystep, maxit), then settled.
  static View of_doubles(double xmit, double ymit, double xstep, double ystep, double maxit);
  // A view from numbers of any precision (the centre's digits all kept while deep).
  static View of_exact(const BigFloat& x, const BigFloat& y, FloatExp xs, FloatExp ys,
                       double maxit, const std::string& x_text = "", const std::string& y_text = "");

  // The design's zoom steps: half-extents times or over 0.9, the limit times or over 1.02
  // (growing only below 64250). A step that would take a half-extent past the ceiling leaves
  // the size and the limit as they are.
  void zoom_in();
  void zoom_out();
  // The exact pan by the pointer's offset in grid units: ((half-extent * p) / 3) / 40 or / 20.
  void exact_pan(double px, double py);
  // The re-use pan's move by whole pixels: (sign * shift) columns and rows of a picture of
  // width x height (of the fitted view's pitch), through the design's formulas.
  void pixel_pan(int sx, int columns, int width, int sy, int rows, int height);

  // The view of a width x height picture: the half-extent of its longer side grown by the ratio
  // of the aspects, so that it shows at least the view's region, centred, with pixels of the
  // design's shape; and deep if the view is, or if that picture's pitch is finer than doubles
  // resolve (settle()'s rule at its size). A 4:3 picture at the design's size or coarser has the
  // view's very numbers. Windows and posters of any size are computed from it.
  View fitted(int width, int height) const;

  // The renderer's arguments for the picture's columns from `column` and rows from `row`
  // (both counted from the picture's own left and bottom) of a picture width x height.
  Region region(int column, int row, int width, int height) const;
  // The pixel pitch per column and per row, as the deep kernel takes them (y decreasing).
  FloatExp pitch_x(int width) const { return xs * 2.0 / FloatExp(static_cast<double>(width)); }
  FloatExp pitch_y(int height) const { return ys * 2.0 / FloatExp(static_cast<double>(height)); }

  // The five numbers as P prints them: the centre with every digit it carries (%.17g while
  // shallow), the half-extents and the limit with 17 significant digits (%.17g).
  std::string numbers() const;

  // While shallow: the half-extents from the doubles, which are the view, and the centre from
  // them too if they have moved.
  void take_doubles();
  void take_centre();
  // A shallow view's exact centre (the doubles stay as they are), and the text it was read from
  // if any.
  void keep_exact_centre(const BigFloat& x, const BigFloat& y, const std::string& x_text = "",
                         const std::string& y_text = "");
  // Printed centres read back exactly: a centre of precision p is printed with digits_for(p)
  // significant digits, which read back exactly at precision p (MPFR's promise), and a number of
  // n significant digits is read at precision_for(n) bits, the largest p printed with n digits.
  // A deep centre's precision is always such a p (canonical).
  static int digits_for(long bits);
  static long precision_for(int digits);
  static long canonical(long bits) { return precision_for(digits_for(bits)); }
  // A number as given (blanks around it allowed), at precision_for its significant digits and
  // at least 64 bits; a half-extent at a double's 53 bits, rounded once. Nothing if it is not a
  // finite number.
  // edge: read with four bits a character more, for the five-number form's sums and
  // differences, which then hold every digit given.
  static std::optional<BigFloat> read_centre(const std::string& text, bool edge = false);
  static std::optional<FloatExp> read_half_extent(const std::string& text);

  // After every change: decides shallow or deep, moving the centre between doubles and
  // BigFloat, and fits the centre's precision to the depth.
  void settle();
  // Bits the centre needs at this depth: those above the binary point and down to the pitch,
  // and 64 more, so that the pans' offsets add to it exactly.
  long precision_needed() const;
};

}  // namespace zd
