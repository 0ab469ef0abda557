// loop.cpp — the navigation loop: whole picture if due, idle wait, keys, buttons, pan, end test.
#include "navigation/loop.h"

#include <algorithm>
#include <cmath>

#include "control/view.h"
#include "navigation/history.h"
#include "navigation/mouse.h"
#include "navigation/pan.h"
#include "navigation/whole.h"
#include "platform/gfx.h"

namespace zd {

namespace {

// The limit keys stay within what the renderer is handed (an int) and at least one step.
constexpr double MAXIT_CEILING = 2147483647.0;

bool at_centre() { return xmouse() == 240 && ymouse() == 180; }

// Moves the view by the pointer's offset; the whole picture follows at the next step. Whether
// the pointer had moved.
bool exact_pan() {
  const double px = xmouse() - 240;
  const double py = ymouse() - 180;
  prog.view.exact_pan(px, py);
  setmouse(240, 180);
  return px != 0 || py != 0;
}

// A key, between steps. Whether the picture is to be computed again.
bool apply_command(int cmd, History& history) {
  View& v = prog.view;
  switch (cmd) {
    case CMD_HOME:
      history.step(Gesture::Key, v);
      v = prog.home;
      return true;
    case CMD_MORE_ITERATIONS:
      history.step(Gesture::Key, v);
      v.maxit = std::min(v.maxit * 2.0, MAXIT_CEILING);
      return true;
    case CMD_FEWER_ITERATIONS:
      history.step(Gesture::Key, v);
      v.maxit = std::max(v.maxit / 2.0, 1.0);
      return true;
    case CMD_MINIBROT: {
      View found = v;
      const int period = find_copy(found);
      if (period > 0) {
        history.step(Gesture::Key, v);
        v = found;
      }
      if (period >= 0 && prog.on_copy) prog.on_copy(period);
      return period > 0;
    }
    case CMD_UNDO:
      return history.undo(v);
    case CMD_REDO:
      return history.redo(v);
    case CMD_RESIZE: {
      int w = 0, h = 0;
      getsize(&w, &h);
      picture_size(w, h);
      return true;
    }
    default:
      if (cmd >= CMD_COLOUR) {
        // Computed afresh: the picture is exactly a fresh one of the view in that colouring.
        prog.colouring = Colouring(static_cast<Colours>(cmd - CMD_COLOUR), prog.mycoltab, prog.colouring.palette());
        prog.no_firstpass = 0;
        return true;
      }
      return false;
  }
}

}  // namespace

void paint_mandel() {
  int dragging = 0;
  History history;
  setmouse(240, 180);

  for (;;) {
    if (prog.calc != 0) whole_picture();
    prog.calc = 0;
    const int first = mygetbutton();

    // Idle: nothing to do until the pointer moves or a button goes down; the gesture in
    // progress is over (a pan after it is another). A button let go after the renderer's last
    // look at it can leave a coarse picture behind; the first idle moment refines it, as the
    // renderer's own follow-up would have.
    while (at_centre() && mygetbutton() == 0 && dragging == 0 && command_pending() == 0) {
      history.rest();
      if (prog.picture_coarse && prog.highq != 0) {
        prog.no_firstpass = 1;
        whole_picture();
      }
    }

    // A key is a step of its own: the view changes, the next step computes it.
    if (const int cmd = take_command(); cmd != NO_COMMAND) {
      if (apply_command(cmd, history)) prog.calc = 1;
      continue;
    }

    const int m = mygetbutton();
    const View before = prog.view;
    Gesture kind = Gesture::Pan;
    if ((m & 3) == 3) {
      kind = Gesture::Drag;
      if (dragging == 0) {
        dragging = 1;
        if ((first == 0 && prog.highq != 0) || !at_centre()) prog.calc = 1;
      }
    } else if (m & 1) {
      kind = Gesture::Dive;
      prog.view.zoom_in();
      prog.calc = 1;
      dragging = 0;
    } else if (m & 2) {
      kind = Gesture::BackOut;
      prog.view.zoom_out();
      prog.calc = 1;
      dragging = 0;
    } else if (prog.highq != 0 && dragging == 1) {
      // End of a drag: the picture is coarse. At rest it needs only the refinement passes.
      kind = Gesture::Drag;
      if (at_centre()) prog.no_firstpass = 1;
      prog.calc = 1;
      dragging = 0;
    } else {
      dragging = 0;
    }

    const bool moved = prog.calc == 1 ? exact_pan() : reuse_pan();
    if (moved || kind == Gesture::Dive || kind == Gesture::BackOut) history.step(kind, before);

    if (mygetbutton() & 4) return;
  }
}

}  // namespace zd
