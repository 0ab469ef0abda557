// mouse.h — the button mask and the pointer on the design's 480 x 360 pointer grid, whatever
// the window's size.
#pragma once

namespace zd {

// 1 left, 2 middle, 4 right, summed; read middle, left, right (not an atomic snapshot).
int mygetbutton();
// Pointer column 0 .. 479 across the whole screen, from the left.
int xmouse();
// Pointer row 360 .. 1 from the bottom of the screen to its top (180 at the centre).
int ymouse();
// Warps the pointer to grid (x, y); y counts upward. The program passes only (240, 180).
void setmouse(int x, int y);

}  // namespace zd
