// mouse.cpp — the mouse operations over the platform's buttons and valuators.
#include "navigation/mouse.h"

#include "platform/gfx.h"

namespace zd {

int mygetbutton() {
  const int middle = getbutton(MIDDLEMOUSE);
  const int left = getbutton(LEFTMOUSE);
  const int right = getbutton(RIGHTMOUSE);
  return 4 * right + 2 * middle + left;
}

int xmouse() { return (getvaluator(MOUSEX) * 480) / 1280; }

int ymouse() { return 360 - (getvaluator(MOUSEY) * 360) / 1024; }

void setmouse(int x, int y) {
  setvaluator(MOUSEX, static_cast<short>((x * 1280) / 480), 0, 1279);
  setvaluator(MOUSEY, static_cast<short>((y * 1024) / 360), 0, 1023);
}

}  // namespace zd
