// pan.h — the pan that shifts the pixels already computed and computes only the exposed strips.
#pragma once

namespace zd {

// The content shift, in pixels, for a pointer offset of |px| (or |py|) grid units over a
// picture `width` wide (or `height` high): cut to a multiple of 4, and never 1..3 -> 0.
int column_shift(double abs_px, int width);
int row_shift(double abs_py, int height);

// One pan step of the navigation loop: reads the pointer offset, re-centres the pointer,
// moves the view by the shift, moves the kept pixels and renders the exposed strips.
// A shift larger than the picture sets calc instead (the buffer is left alone). Whether the
// pointer had moved.
bool reuse_pan();

}  // namespace zd
