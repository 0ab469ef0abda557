// loop.h — the explorer's interactive loop.
#pragma once

namespace zd {

// Turns the mouse into dives, back-outs, pans and drags until the right button is seen at
// the end of a step. Expects start-up done, with calc and highq set.
void paint_mandel();

}  // namespace zd
