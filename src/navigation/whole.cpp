// whole.cpp — the whole picture of the view: the mapping from view to renderer arguments.
#include "navigation/whole.h"

#include <climits>
#include <cmath>

#include "compute/bandrec.h"
#include "compute/kernels.h"
#include "control/view.h"

namespace zd {

int limit_of(double m) {
  if (std::isnan(m)) return 0;
  if (m >= 2147483648.0) return INT_MAX;
  if (m <= -2147483649.0) return INT_MIN;
  return static_cast<int>(m);
}

bool prepare_kernel(int width, int height) {
  if (prog.views_only) return true;  // a deep view's reference orbit is no view's concern
  const PointKernel* k = kernel_for(prog.view);
  if (!k->prepare(prog.view, width, height, limit_of(maxit), user_left)) return false;
  prog.kernel = k;
  return true;
}

void whole_picture() {
  const Region r = prog.view.region(0, 0, XPTS, YPTS);
  if (prepare_kernel(XPTS, YPTS)) mandel(LOY, YPTS, r.x0, r.dx, r.y0, r.dy, limit_of(maxit));
  no_firstpass = 0;
}

}  // namespace zd
