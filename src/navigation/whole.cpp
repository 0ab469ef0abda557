// whole.cpp — the whole picture of the view: the mapping from view to renderer arguments.
#include "navigation/whole.h"

#include <climits>
#include <cmath>

#include "compute/bandrec.h"
#include "control/view.h"

namespace zd {

int limit_of(double m) {
  if (std::isnan(m)) return 0;
  if (m >= 2147483648.0) return INT_MAX;
  if (m <= -2147483649.0) return INT_MIN;
  return static_cast<int>(m);
}

void whole_picture() {
  mandel(LOY, YPTS, xmit - xstep, (xstep * 2.0) / static_cast<double>(XPTS), ymit + ystep,
         (ystep * 2.0) / static_cast<double>(YPTS), limit_of(maxit));
  no_firstpass = 0;
}

}  // namespace zd
