// explorer_cli.cpp — zoomdive's command line, start-up on the SDL2 backend, the loop, the end;
// and what the explorer keeps: positions (P), pictures (S) and the session (--record).
#include "control/explorer_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "control/outputs.h"
#include "control/startup.h"
#include "control/view.h"
#include "display/image_out.h"
#include "navigation/loop.h"
#include "platform/gfx.h"
#include "platform/sdl.h"

namespace zd {

namespace {

const char* const help_text =
    "usage: zoomdive [--workers N] [--record FILE] [--rate STEPS]\n"
    "                [WORKERS | x1 x2 y1 y2 limit | --view XMIT YMIT XSTEP YSTEP MAXIT]\n"
    "Explores the Mandelbrot set in a 480 x 360 window.\n"
    "\n"
    "  WORKERS            worker threads per picture (default 0: the main thread\n"
    "                     computes; counts above 512 are taken as 512)\n"
    "  x1 x2 y1 y2 limit  left, right, top and bottom edges of the first view and the\n"
    "                     iteration limit (default 3 -2 1.875 -1.874 50)\n"
    "  --view ...         the first view as its state: centre, signed half-extents and\n"
    "                     limit, as P prints them\n"
    "  --workers N        worker threads, as WORKERS\n"
    "  --record FILE      write the session as a script that zoomdive-render --replay\n"
    "                     plays back exactly (same start view and worker count)\n"
    "  --rate STEPS       steps a second while a button is held (default 15, 1 to 200)\n"
    "  --help, --version\n"
    "Any other number of positional arguments starts the default view.\n"
    "A pixel shows the set at -c: the usual point a + bi is at x = -a, y = -b.\n"
    "\n"
    "Mouse: hold the left button to dive in, the middle one to back out, both to drag\n"
    "the picture; move the mouse to pan; the wheel dives or backs out a step a notch;\n"
    "the right button quits.\n"
    "Keys: P prints a command that comes back to this view; S saves the picture as\n"
    "zoomdive-NNNN.png; Home goes back to the start view; ] and [ double and halve\n"
    "the iteration limit; + and - make held buttons step faster or slower; Esc or Q\n"
    "quits, as does closing the window.\n";

// The session as a script, written line by line as it is played, so that however the
// session ends the script is whole.
struct Recording {
  std::FILE* f = nullptr;
  bool failed = false;
  void line(const ScriptLine& s) {
    if (!f || failed) return;
    if (std::fprintf(f, "%s\n", format_line(s).c_str()) < 0 || std::fflush(f) != 0) {
      failed = true;
      std::fprintf(stderr, "zoomdive: the recording stops: %s\n", std::strerror(errno));
    }
  }
};

void print_position() {
  std::printf("zoomdive --view %s\n", prog.view.numbers().c_str());
  std::fflush(stdout);
}

void save_picture() {
  std::string name;
  const std::string err = save_new(
      "zoomdive-", ".png", [](std::FILE* f) { return png_to(f, screenbak); }, name);
  if (!err.empty()) {
    std::fprintf(stderr, "zoomdive: %s\n", err.c_str());
    return;
  }
  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
}

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

  // The recording is checked before the window opens, and made once it has.
  Recording rec;
  Target record;
  if (cmd.record_given) {
    if (cmd.record == "-") {
      std::fprintf(stderr, "zoomdive: --record needs a file: standard output takes P's lines\n");
      return 2;
    }
    if (const std::string why = find_target(cmd.record, record); !why.empty()) {
      std::fprintf(stderr, "zoomdive: %s\n", why.c_str());
      return 1;
    }
  }

  use_backend(sdl_backend());
  if (!startup(cmd)) {
    std::fprintf(stderr, "zoomdive: cannot open a window: %s\n", gfx_error());
    return 1;
  }
  if (cmd.record_given && !(rec.f = std::fopen(record.path.c_str(), "w"))) {
    std::fprintf(stderr, "zoomdive: cannot write %s: %s\n", cmd.record.c_str(),
                 std::strerror(errno));
    gexit();
    return 1;
  }
  if (rec.f) {
    std::fprintf(rec.f,
                 "# zoomdive %s session; replay: zoomdive-render --workers %d --replay FILE\n"
                 "#   --view %s\n",
                 ZD_VERSION, anz, prog.view.numbers().c_str());
    std::fflush(rec.f);
  }
  LiveInput live;
  live.rate = cmd.rate;
  if (rec.f) live.record = [&rec](const ScriptLine& s) { rec.line(s); };
  live.key = [](char k) {
    if (k == 'P') print_position();
    if (k == 'S') save_picture();
  };
  sdl_live(live);
  paint_mandel();
  gexit();
  if (rec.f) std::fclose(rec.f);
  return 0;
}

}  // namespace zd
