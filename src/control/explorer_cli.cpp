// explorer_cli.cpp — zoomdive's command line, start-up on the SDL2 backend, the loop, the end.
#include "control/explorer_cli.h"

#include <cstdio>
#include <string>

#include "control/startup.h"
#include "navigation/loop.h"
#include "platform/gfx.h"
#include "platform/sdl.h"

namespace zd {

namespace {

const char* const help_text =
    "usage: zoomdive [WORKERS | x1 x2 y1 y2 limit]\n"
    "Explores the Mandelbrot set in a 480 x 360 window.\n"
    "\n"
    "  WORKERS            worker threads per picture (default 0: the main thread\n"
    "                     computes; counts above 512 are taken as 512)\n"
    "  x1 x2 y1 y2 limit  left, right, top and bottom edges of the first view and the\n"
    "                     iteration limit (default 3 -2 1.875 -1.874 50)\n"
    "Any other number of arguments starts the default view.\n"
    "\n"
    "Mouse: hold the left button to dive in, the middle one to back out, both to drag\n"
    "the picture; move the mouse to pan; the right button quits.\n"
    "Keys: Esc or Q quits, as does closing the window.\n";

}  // namespace

int explorer_main(int argc, const char* const* argv) {
  Cmdline cmd;
  std::string err;
  switch (parse_explorer_args(argc, argv, cmd, err)) {
    case Parsed::Help:
      std::fputs(help_text, stdout);
      return 0;
    case Parsed::Version:
      std::printf("zoomdive %s\n", ZD_VERSION);
      return 0;
    case Parsed::Error:
      std::fprintf(stderr, "zoomdive: %s\n", err.c_str());
      return 2;
    case Parsed::Run:
      break;
  }
  use_backend(sdl_backend());
  if (!startup(cmd)) {
    std::fprintf(stderr, "zoomdive: cannot open a window: %s\n", gfx_error());
    return 1;
  }
  paint_mandel();
  gexit();
  return 0;
}

}  // namespace zd
