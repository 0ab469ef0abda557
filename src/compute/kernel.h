// kernel.h — the escape count of one point: the reference that the vector kernel (counts.h)
// matches bit for bit, and its fallback.
#pragma once

namespace zd {

// Iterates z <- z^2 - c from z = 0 and counts the steps that stay inside |z|^2 < 9. The first
// step is always made, so the result is 0 .. max(limit, 1). The operation order is fixed:
// pictures must be bit-exact.
inline int escape_count(double cx, double cy, int limit) {
  double x = 0.0, y = 0.0, xx = 0.0, yy = 0.0;
  int n = 0;
  for (;;) {
    const double xn = (xx - yy) - cx;
    const double yn = (2.0 * x) * y - cy;
    xx = xn * xn;
    yy = yn * yn;
    x = xn;
    y = yn;
    if (!(xx + yy < 9.0)) return n;  // a NaN sum ends it too
    if (++n >= limit) return n;
  }
}

// escape_count with the derivative D = dz/dc times `pitch` alongside (D <- 2 z D - pitch, from
// the values before each step): the count, and z and D where it ended.
inline int escape_count(double cx, double cy, int limit, double pitch, double* zx, double* zy,
                        double* dx, double* dy) {
  double x = 0.0, y = 0.0, xx = 0.0, yy = 0.0, u = 0.0, v = 0.0;
  int n = 0;
  for (;;) {
    const double un = 2.0 * (x * u - y * v) - pitch, vn = 2.0 * (x * v + y * u);
    const double xn = (xx - yy) - cx;
    const double yn = (2.0 * x) * y - cy;
    xx = xn * xn;
    yy = yn * yn;
    x = xn;
    y = yn;
    u = un;
    v = vn;
    if (!(xx + yy < 9.0) || ++n >= limit) break;
  }
  *zx = x;
  *zy = y;
  *dx = u;
  *dy = v;
  return n;
}

}  // namespace zd
