// sdl.h — the graphics and input operations on a real desktop, through SDL2.
#pragma once
#include <functional>
#include <string>

#include "platform/gfx.h"
#include "platform/script.h"

namespace zd {

// The window may be resized, and F11 makes it fill the screen: a new size reaches the program as
// a line of its own (CMD_RESIZE), meanwhile the last picture is scaled to fit (nearest
// neighbour, aspect kept). Closing it, Esc, Q, a right click or SIGTERM hold the right button
// down from the next line on.
const GfxBackend* sdl_backend();

// The size of the screen the window opens on, if a display answers.
bool sdl_screen_size(int& width, int& height, std::string& err);

struct LiveInput {
  // Steps a second while a zoom or drag button is held, and the bounds the + and - keys keep.
  double rate = 0, min_rate = 0, max_rate = 0;
  // Each line as it takes effect (the session's script); keys and mouse lines alike. False:
  // it could not be kept, and the session ends instead (as a quit), without that line.
  std::function<bool(const ScriptLine&)> record;
  // P and S, called where the view is whole (never halfway through a step's changes): at a
  // line, or while a picture is computed.
  std::function<void(char key)> key;
  // The colouring the session starts in (Colours, as a number): C goes on from it, and each C
  // is a line `colour NAME` naming the colouring it goes to.
  int colours = 0;
};

// From now on the devices take effect line by line (see sdl.cpp). Call it after start-up,
// before the navigation loop: start-up's own pointer warp is not a line.
void sdl_live(const LiveInput& hooks);

}  // namespace zd
