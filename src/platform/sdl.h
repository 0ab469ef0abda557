// sdl.h — the graphics and input operations on a real desktop, through SDL2.
#pragma once
#include "platform/gfx.h"

namespace zd {

// The window is resizable (the picture is scaled to fit, nearest neighbour, aspect kept);
// closing it, or Esc or Q, holds the right button down from then on.
const GfxBackend* sdl_backend();

}  // namespace zd
