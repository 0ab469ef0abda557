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

}  // namespace zd
