// render.cpp — the region renderer: bands to workers, wait, show the window, follow-up refinement.
#include <cassert>
#include <cstdio>
#include <cstring>

#include "compute/bandrec.h"
#include "control/view.h"
#include "navigation/mouse.h"
#include "platform/gfx.h"
#include "platform/proc.h"

namespace zd {

namespace {

constexpr unsigned SHARE_ALL = 0x0200007F;

void say(const char* msg) {
  std::fputs(msg, stdout);
  std::fflush(stdout);  // seen at once, even when stdout is a pipe
}

// Copies the window area of screen into screenbak, stamps the logo there and shows it.
void show() {
  std::memcpy(screenbak, screen, WINWORDS * sizeof(std::uint32_t));
  for (int d = 2; d <= 19; ++d) {
    for (int x = 0; x < LOGOW; ++x) {
      const std::uint32_t w = snap_long[d * LOGOW + x];
      if (w != 0) screenbak[(d - 2) * WINW + (WINW - LOGOW) + x] = w;
    }
  }
  lrectwrite(0, 0, WINW - 1, WINH - 1, screenbak);
}

}  // namespace

bool mandel_left_coarse = false;

bandrec band_for(int i, int n, int first, int rows, double x0, double dx, double y0, double dy,
                 int limit, int buttons) {
  const int lo = (i * rows) / n;
  const int hi = ((i + 1) * rows) / n;
  bandrec b{};
  b.first = first + (lo & ~1);
  b.rows = hi - lo;
  if (b.rows % 2 != 0) ++b.rows;
  b.x0 = x0;
  b.dx = dx;
  b.y0 = y0 - static_cast<double>(b.first - first) * dy;
  b.dy = dy;
  b.limit = limit;
  b.no_firstpass = no_firstpass;
  b.highq = highq;
  b.buttons = buttons;
  return b;
}

void mandel(int first, int rows, double x0, double dx, double y0, double dy, int limit) {
  assert(anz <= MAXWORKERS && "worker counts above 512 must be reduced at the command line");
  bandrec tab[MAXWORKERS];
  const int m = mygetbutton();

  if (anz == 0) {
    // The whole region in this thread; its wake-up goes to ourselves and nobody takes it.
    tab[0] = bandrec{first, rows % 2 != 0 ? rows + 1 : rows, x0, dx, y0, dy, limit,
                     no_firstpass, highq, m};
    smandel(&tab[0]);
  } else if (anz > 0) {
    for (int i = 0; i < anz; ++i) {
      tab[i] = band_for(i, anz, first, rows, x0, dx, y0, dy, limit, m);
      while (sproc(smandel, SHARE_ALL, &tab[i]) == -1) {
        say("waiting...\n");
        sleep(1);
      }
    }
  }

  int taken = 0;
  for (int i = 0; i < anz; ++i) {
    blockproc(pid);
    ++taken;
  }
  if (taken != anz) say("not all children finished!!!\n");

  show();
  mandel_left_coarse = m != 0 || highq == 0;

  // A zoom or pan button was down, so only the coarse pass ran; if every button is up now,
  // refine what is in screen into the full picture.
  if ((m & 3) != 0 && mygetbutton() == 0 && highq != 0) {
    const int saved = no_firstpass;
    no_firstpass = 1;
    mandel(first, rows, x0, dx, y0, dy, limit);
    no_firstpass = saved;
  }
}

}  // namespace zd
