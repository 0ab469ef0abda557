// view.cpp — the single definition of the program's state, and its reset.
#include "control/view.h"

#include <new>

#include "platform/gfx.h"
#include "platform/proc.h"

namespace zd {

State prog;

void reset_state() {
  // Rebuilt in place: atomics cannot be assigned.
  prog.~State();
  new (&prog) State{};
  proc_reset();
  gfx_reset();
}

}  // namespace zd
