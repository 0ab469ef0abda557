// explorer_cli.cpp — zoomdive's command line, start-up on the SDL2 backend, the loop, the end;
// and what the explorer keeps: positions (P), pictures (S) and the session (--record).
#include "control/explorer_cli.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "control/location.h"
#include "control/colour_cli.h"
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
    "usage: zoomdive [--workers N] [--window WxH] [--record FILE] [--rate STEPS]\n"
    "                [--colour NAME] [--palette FILE]\n"
    "                [WORKERS | x1 x2 y1 y2 limit | --view XMIT YMIT XSTEP YSTEP MAXIT |\n"
    "                 --location FILE]\n"
    "Explores the Mandelbrot set in a window (480 x 360 unless --window says otherwise).\n"
    "\n"
    "  WORKERS            worker threads per picture (default 0: the main thread\n"
    "                     computes; counts above 512 are taken as 512)\n"
    "  x1 x2 y1 y2 limit  left, right, top and bottom edges of the first view and the\n"
    "                     iteration limit (default 3 -2 1.875 -1.874 50)\n"
    "  --view ...         the first view as its state: centre, signed half-extents and\n"
    "                     limit, as P prints them\n"
    "  --location FILE    the first view from a location file (Re:, Im:, Zoom: and\n"
    "                     Iterations: lines, the usual orientation) or a PNG zoomdive\n"
    "                     wrote\n"
    "  --workers N        worker threads, as WORKERS\n"
    "  --window WxH       the window's size: from 64 x 48 to the screen's; a window\n"
    "                     that is not 4:3 shows more of the view on its longer side\n"
    "  --record FILE      write the session as a script that zoomdive-render --replay\n"
    "                     plays back exactly (same start view and worker count)\n"
    "  --rate STEPS       steps a second while a button is held (default 15, 1 to 200)\n"
    "  --colour NAME      design (the default), smooth or distance: how counts become\n"
    "                     colours; the C key goes to the next\n"
    "  --palette FILE     the colours smooth and distance run through: one #rrggbb a\n"
    "                     line (default: a built-in palette)\n"
    "  --help, --version\n"
    "Any other number of positional arguments starts the default view.\n"
    "A pixel shows the set at -c: the usual point a + bi is at x = -a, y = -b.\n"
    "\n"
    "Mouse: hold the left button to dive in, the middle one to back out, both to drag\n"
    "the picture; move the mouse to pan; the wheel dives or backs out a step a notch;\n"
    "the right button quits.\n"
    "Keys: P prints a command that comes back to this view; S saves the picture as\n"
    "zoomdive-NNNN.png; L saves the view as the location file zoomdive-NNNN.txt; N goes\n"
    "to a small copy of the set near the centre of the view and prints its P line;\n"
    "Home goes back to the start view; ] and [ double and halve the iteration limit;\n"
    "Backspace or Ctrl+Z undoes a gesture, Ctrl+Shift+Z or Ctrl+Y redoes it; C goes to\n"
    "the next colouring; F11 fills the screen; + and - make held buttons step faster or\n"
    "slower; Esc or Q quits, as does closing the window.\n";

// The session as a script, written line by line as it is played, so that however the
// session ends the script is whole. A line that cannot be written ends the session; the part
// of it that was written is cut off, so that what is there still replays.
struct Recording {
  std::string name;  // as given
  int fd = -1;
  std::string failed;  // why it stopped
  off_t whole = 0;     // bytes of whole lines written
  bool open(const std::string& path) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd < 0) fail();
    return fd >= 0;
  }
  bool write(const std::string& text) {
    if (!failed.empty()) return false;
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        fail();
        if (ftruncate(fd, whole) != 0) {
          // A device or a pipe: nothing to cut.
        }
        return false;
      }
      at += static_cast<std::size_t>(n);
    }
    whole += static_cast<off_t>(text.size());
    return true;
  }
  bool close() {
    if (::close(fd) != 0 && failed.empty()) fail();
    fd = -1;
    return failed.empty();
  }
  void fail() { failed = "cannot write " + name + ": " + std::strerror(errno ? errno : EIO); }
};

void print_position() {
  std::printf("zoomdive %s--view %s%s\n",
              window_argument(prog.screen.width, prog.screen.height).c_str(),
              prog.view.numbers().c_str(), colour_arguments(prog.colouring).c_str());
  std::fflush(stdout);
}

// A replay's start: the start view's arguments, then the colouring's (a line of the script
// changes it later).
std::string start_with_colours(const Cmdline& cmd) {
  const std::string s = start_arguments(cmd) + colour_arguments(prog.colouring);
  return !s.empty() && s[0] == ' ' ? s.substr(1) : s;
}

// A new zoomdive-NNNN file beside the others, its name printed (or why it could not be made).
template <class Write>
void save_and_say(const char* ext, const Write& write) {
  std::string name;
  const std::string err = save_new("zoomdive-", ext, write, name);
  if (!err.empty()) {
    std::fprintf(stderr, "zoomdive: %s\n", err.c_str());
    return;
  }
  std::printf("%s\n", name.c_str());
  std::fflush(stdout);
}

// What the window shows, as it was last written.
void save_picture() {
  save_and_say(".png", [](std::FILE* f) {
    return png_to(f, prog.screenbak.data(), prog.screen.width, prog.screen.height, PNG_KEYWORD,
                  remake_window(prog.screen.width, prog.screen.height));
  });
}

// The view as a location file that --location and other programs read.
void save_location() {
  const std::string text = location_text(prog.view);
  save_and_say(".txt", [&text](std::FILE* f) {
    return std::fwrite(text.data(), 1, text.size(), f) == text.size()
               ? std::string()
               : std::string("cannot write: ") + std::strerror(errno);
  });
}

// N's answer: the view it went to, or why it stayed.
void tell_copy(int period) {
  if (period == 0) {
    std::fprintf(stderr, "zoomdive: no small copy of the set in this view\n");
    return;
  }
  std::printf("# a copy of period %d\n", period);
  print_position();
}

}  // namespace

int explorer_main(int argc, const char* const* argv) {
  signal(SIGXFSZ, SIG_IGN);  // a recording past the file size limit fails as on a full disk
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
  if (int w = 0, h = 0; sdl_screen_size(w, h, err) && (cmd.width > w || cmd.height > h)) {
    std::fprintf(stderr, "zoomdive: --window %dx%d is larger than the screen, %dx%d\n", cmd.width,
                 cmd.height, w, h);
    return 2;
  }
  if (!startup(cmd)) {
    std::fprintf(stderr, "zoomdive: cannot open a window: %s\n", gfx_error());
    return 1;
  }
  if (cmd.record_given) {
    rec.name = cmd.record;
    // The start view as it was given: the same digits start the replay at the same point.
    const std::string head =
        "# zoomdive " + std::string(ZD_VERSION) + " session; replay: zoomdive-render --workers " +
        std::to_string(prog.anz) +
        " --replay FILE START (the window's size and the start view as given, none for the "
        "defaults)\n# START: " + start_with_colours(cmd) + "\n";
    if (rec.open(record.path) && !rec.write(head)) rec.close();
    if (!rec.failed.empty()) {
      std::fprintf(stderr, "zoomdive: %s\n", rec.failed.c_str());
      gexit();
      return 1;
    }
  }
  LiveInput live;
  live.rate = cmd.rate;
  live.min_rate = MIN_RATE;
  live.max_rate = MAX_RATE;
  live.colours = static_cast<int>(prog.colouring.kind());
  if (rec.fd >= 0) {
    live.record = [&rec](const ScriptLine& s) { return rec.write(format_line(s) + "\n"); };
  }
  live.key = [](char k) {
    if (k == 'P') print_position();
    if (k == 'S') save_picture();
    if (k == 'L') save_location();
  };
  prog.on_copy = tell_copy;
  sdl_live(live);
  paint_mandel();
  gexit();
  if (rec.fd >= 0 && !rec.close()) {
    std::fprintf(stderr, "zoomdive: %s\n", rec.failed.c_str());
    return 1;
  }
  return 0;
}

}  // namespace zd
