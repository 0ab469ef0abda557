// render.cpp — the region renderer: bands to workers, wait, show the window, follow-up refinement.
#include <algorithm>
#include <chrono>
#include <cassert>
#include <climits>
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
  std::FILE* to = prog.say_to ? prog.say_to : stdout;
  std::fputs(msg, to);
  std::fflush(to);  // seen at once, even when it is a pipe
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

// Asked now and then while a picture is computed: a quit abandons the picture, a press the
// refinement in progress. The window system is asked at most every few milliseconds, but at
// once the first time in each region.
std::chrono::steady_clock::time_point last_poll;
void poll_input() {
  auto& last = last_poll;
  const auto now = std::chrono::steady_clock::now();
  if (now - last < std::chrono::milliseconds(5)) return;
  last = now;
  const int i = interrupted();
  if (i == INTERRUPT_QUIT) {
    prog.stop = STOP_ALL;
  } else if (i == INTERRUPT_PRESS && prog.stop.load() < STOP_REFINING) {
    prog.stop = STOP_REFINING;
  }
}

}  // namespace

bool user_left() {
  poll_input();
  return prog.stop.load() == STOP_ALL;
}

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
  b.own = b.first + b.rows;
  b.crew = nullptr;
  return b;
}

void mandel(int first, int rows, double x0, double dx, double y0, double dy, int limit) {
  assert(anz <= MAXWORKERS && "worker counts above 512 must be reduced at the command line");
  bandrec tab[MAXWORKERS];
  const int m = mygetbutton();
  prog.poll = poll_input;
  last_poll = {};
  if (prog.stop.load() != STOP_ALL) prog.stop = STOP_NONE;

  if (prog.views_only) {
    // Nothing to compute: what follows (the window write, the buttons read, the refinement)
    // is what a session's timing counts.
  } else if (anz == 0) {
    // The whole region in this thread. Its wake-up goes to ourselves: take it at once, so that
    // the count is back where it was after every call, as it is with workers.
    const int even = rows % 2 != 0 ? rows + 1 : rows;
    tab[0] = bandrec{first, even, x0, dx, y0, dy, limit, no_firstpass, highq, m, first + even,
                     nullptr};
    smandel(&tab[0]);
    blockproc(pid);
  } else if (anz > 0) {
    Crew crew(anz, current_kernel().count);
    for (int i = 0; i < anz; ++i) tab[i] = band_for(i, anz, first, rows, x0, dx, y0, dy, limit, m);
    // A row that several bands cover is stored by the last of them alone.
    int next_first = INT_MAX;
    for (int i = anz - 1; i >= 0; --i) {
      tab[i].own = std::min(tab[i].first + tab[i].rows, next_first);
      tab[i].crew = &crew;
      if (tab[i].rows > 0) next_first = std::min(next_first, tab[i].first);
    }
    for (int i = 0; i < anz; ++i) {
      while (sproc(smandel, SHARE_ALL, &tab[i]) == -1) {
        say("waiting...\n");
        sleep(1);
      }
    }
    // The crew lives until every worker has signalled, after its last use of it. Meanwhile
    // this thread keeps an ear on the window system.
    for (int i = 0; i < anz; ++i) {
      while (!blockproc_for(pid, 5)) poll_input();
    }
  } else {
    say("not all children finished!!!\n");
  }

  show();
  // An abandoned picture is not marked for refinement at rest: what abandoned it (a press, a
  // quit) is a step the loop takes next, and refining meanwhile would only be abandoned again.
  const bool coarse = m != 0 || highq == 0;
  if (coarse) {
    picture_coarse = true;
  } else if (first == 0 && rows >= WINH && LOX == 0 && XPTS == WINW) {
    picture_coarse = false;  // the whole window at full quality
  }

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
