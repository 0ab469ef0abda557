// loop.cpp — the navigation loop: whole picture if due, idle wait, buttons, pan, end test.
#include "navigation/loop.h"

#include <algorithm>
#include <cmath>

#include "control/view.h"
#include "navigation/mouse.h"
#include "navigation/pan.h"
#include "navigation/whole.h"
#include "platform/gfx.h"

namespace zd {

namespace {

// The limit keys stay within what the renderer is handed (an int) and at least one step.
constexpr double MAXIT_CEILING = 2147483647.0;

bool at_centre() { return xmouse() == 240 && ymouse() == 180; }

// Moves the view by the pointer's offset; the whole picture follows at the next step.
void exact_pan() {
  const double px = xmouse() - 240;
  const double py = ymouse() - 180;
  prog.view.exact_pan(px, py);
  setmouse(240, 180);
}

// A view key: a change of the view's own state, between steps.
void apply_command(int cmd) {
  switch (cmd) {
    case CMD_HOME:
      prog.view = prog.home;
      break;
    case CMD_MORE_ITERATIONS:
      maxit = std::min(maxit * 2.0, MAXIT_CEILING);
      break;
    case CMD_FEWER_ITERATIONS:
      maxit = std::max(maxit / 2.0, 1.0);
      break;
    default:
      break;
  }
}

}  // namespace

void paint_mandel() {
  int dragging = 0;
  setmouse(240, 180);

  for (;;) {
    if (calc != 0) whole_picture();
    calc = 0;
    const int first = mygetbutton();

    // Idle: nothing to do until the pointer moves or a button goes down. A button let go
    // after the renderer's last look at it can leave a coarse picture behind; the first idle
    // moment refines it, as the renderer's own follow-up would have.
    while (at_centre() && mygetbutton() == 0 && dragging == 0 && command_pending() == 0) {
      if (picture_coarse && highq != 0) {
        no_firstpass = 1;
        whole_picture();
      }
    }

    // A view key is a step of its own: the view changes, the next step computes it.
    if (const int cmd = take_command(); cmd != NO_COMMAND) {
      apply_command(cmd);
      calc = 1;
      continue;
    }

    const int m = mygetbutton();
    if ((m & 3) == 3) {
      if (dragging == 0) {
        dragging = 1;
        if ((first == 0 && highq != 0) || !at_centre()) calc = 1;
      }
    } else if (m & 1) {
      prog.view.zoom_in();
      calc = 1;
      dragging = 0;
    } else if (m & 2) {
      prog.view.zoom_out();
      calc = 1;
      dragging = 0;
    } else if (highq != 0 && dragging == 1) {
      // End of a drag: the picture is coarse. At rest it needs only the refinement passes.
      if (at_centre()) no_firstpass = 1;
      calc = 1;
      dragging = 0;
    } else {
      dragging = 0;
    }

    if (calc == 1) {
      exact_pan();
    } else {
      reuse_pan();
    }

    if (mygetbutton() & 4) return;
  }
}

}  // namespace zd
