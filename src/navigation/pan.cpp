// pan.cpp — re-use pan: memmove the kept rows, render the vertical then the horizontal strip.
#include "navigation/pan.h"

#include <cstring>

#include "control/view.h"
#include "navigation/mouse.h"
#include "navigation/whole.h"

namespace zd {

namespace {

// 1, 2 and 3 become 4 so that the smallest motion moves something; then down to a multiple of 4.
int cut_to_blocks(int v) {
  if (v >= 1 && v <= 3) v = 4;
  return v & ~3;
}

int sign_of(double v) { return (v > 0) - (v < 0); }

// A strip of the picture from its column and row, counted from the picture's left and bottom
// edges. LOX, LOY, XPTS and YPTS describe the strip meanwhile.
void render_strip(int column, int row) {
  const int width = prog.screen.width, height = prog.screen.height;
  const View pv = picture_view();
  const Region r = pv.region(column, row, width, height);
  const Region whole = pv.region(0, 0, width, height);
  if (!prepare_kernel(pv)) return;
  mandel(rendering(whole), prog.LOY, prog.YPTS, r.x0, r.dx, r.y0, r.dy, limit_of(pv.maxit));
}

}  // namespace

int column_shift(double abs_px, int width) {
  return cut_to_blocks(static_cast<int>(((abs_px * width) * ONE_THIRD) / 80.0));
}

int row_shift(double abs_py, int height) {
  return cut_to_blocks(static_cast<int>(((abs_py * height) * ONE_THIRD) / 40.0));
}

bool reuse_pan() {
  const int height = prog.YPTS, loy = prog.LOY, width = prog.XPTS, lox = prog.LOX;

  const double px = xmouse() - 240;
  const double py = ymouse() - 180;
  setmouse(240, 180);

  // The view moves by exactly the whole pixels the content moves, so kept pixels stay valid.
  // (An odd picture walks one column more than it shows: the pitch is its shown width's.)
  const int shown = prog.screen.width;
  const int cs = column_shift(px < 0 ? -px : px, shown);
  const int rs = row_shift(py < 0 ? -py : py, height);
  prog.view.pixel_pan(sign_of(px), cs, shown, sign_of(py), rs, height);

  if (width < cs || height < rs) {
    prog.calc = 1;
    return px != 0 || py != 0;
  }

  // Row by row, in the order that keeps every source row intact until it has been copied;
  // within a row source and destination overlap when no rows move.
  const int kept = height - rs;
  const std::size_t bytes = sizeof(std::uint32_t) * static_cast<std::size_t>(width - cs);
  const int src = lox + (px > 0 ? cs : 0);
  const int dst = lox + (px < 0 ? cs : 0);
  Picture& screen = prog.screen;
  if (py > 0) {
    for (int i = kept - 1; i >= 0; --i) {
      std::memmove(screen.row(loy + rs + i) + dst, screen.row(loy + i) + src, bytes);
    }
  } else {
    for (int i = 0; i < kept; ++i) {
      std::memmove(screen.row(loy + i) + dst, screen.row(loy + rs + i) + src, bytes);
    }
  }

  // The workers take their columns from LOX and XPTS: narrow them to the strip for the call.
  if (px != 0) {
    prog.XPTS = cs;
    prog.YPTS = kept;
    prog.LOX = px < 0 ? lox : lox + width - cs;
    prog.LOY = py > 0 ? loy + rs : loy;
    render_strip(prog.LOX - lox, prog.LOY - loy);
    prog.LOY = loy;
    prog.LOX = lox;
  }
  if (py != 0) {
    prog.XPTS = width;
    prog.LOX = lox;
    prog.YPTS = rs;
    prog.LOY = py > 0 ? loy : loy + height - rs;
    render_strip(0, prog.LOY - loy);
    prog.LOY = loy;
  }
  prog.XPTS = width;
  prog.YPTS = height;
  return px != 0 || py != 0;
}

}  // namespace zd
