// mouse.cpp — the mouse operations over the platform's buttons and valuators.
#include "navigation/mouse.h"

#include "compute/picture.h"
#include "platform/gfx.h"

namespace zd {

int mygetbutton() {
  const int middle = getbutton(MIDDLEMOUSE);
  const int left = getbutton(LEFTMOUSE);
  const int right = getbutton(RIGHTMOUSE);
  return 4 * right + 2 * middle + left;
}

int xmouse() { return (getvaluator(MOUSEX) * DESIGN_W) / 1280; }

int ymouse() { return DESIGN_H - (getvaluator(MOUSEY) * DESIGN_H) / 1024; }

void setmouse(int x, int y) {
  setvaluator(MOUSEX, static_cast<short>((x * 1280) / DESIGN_W), 0, 1279);
  setvaluator(MOUSEY, static_cast<short>((y * 1024) / DESIGN_H), 0, 1023);
}

}  // namespace zd
