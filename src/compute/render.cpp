// render.cpp — the region renderer: bands to workers, wait, show the window, follow-up refinement.
#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdio>

#include "compute/bandrec.h"
#include "platform/proc.h"

namespace zd {

namespace {

constexpr unsigned SHARE_ALL = 0x0200007F;

void say(const Rendering& r, const char* msg) {
  std::FILE* to = r.say_to ? r.say_to : stdout;
  std::fputs(msg, to);
  std::fflush(to);  // seen at once, even when it is a pipe
}

}  // namespace

bandrec band_for(int i, int n, int first, int rows, double x0, double dx, double y0, double dy,
                 int limit, int no_firstpass, int highq, int buttons, bool grid) {
  const int lo = (i * rows) / n;
  const int hi = ((i + 1) * rows) / n;
  bandrec b{};
  // The design's bands start on even rows; on the 4 x 4 grid (grid), every band's blocks are
  // the whole picture's, so the picture does not depend on how many workers share it.
  const int mask = grid ? ~3 : ~1;
  b.first = first + (lo & mask);
  b.rows = grid ? (i == n - 1 ? hi : hi & mask) - (lo & mask) : hi - lo;
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
  b.with = nullptr;
  b.polls = false;
  return b;
}

void mandel(const Rendering& r, int first, int rows, double x0, double dx, double y0, double dy,
            int limit) {
  assert(r.anz <= MAXWORKERS && "worker counts above 512 must be reduced at the command line");
  bandrec tab[MAXWORKERS];
  const int m = r.buttons();
  if (r.stop && r.stop->load() != STOP_ALL) *r.stop = STOP_NONE;
  if (r.tally) {
    for (int p = 0; p < 3; ++p) r.tally->queued[p] = r.tally->counted[p] = 0;
  }
  // Rows past the region (an odd count rounded up, the last blocks' reach) are not its own.
  const int top = first + rows;
  // Coarse frames of more than 4 x 4 leave no colours to refine: refining is computing afresh.
  const int no_firstpass = r.preview == 4 ? r.no_firstpass : 0;

  if (r.views_only) {
    // Nothing to compute: what follows (the window write, the buttons read, the refinement)
    // is what a session's timing counts.
  } else if (r.anz == 0) {
    // The whole region in this thread. Its wake-up goes to ourselves: take it at once, so that
    // the count is back where it was after every call, as it is with workers.
    const int even = rows % 2 != 0 ? rows + 1 : rows;
    tab[0] = bandrec{first, even, x0, dx, y0, dy, limit, no_firstpass, r.highq, m, top,
                     nullptr, &r, true};
    smandel(&tab[0]);
    blockproc(r.pid);
  } else if (r.anz > 0) {
    Crew crew(r.anz, (r.kernel ? r.kernel : double_kernel())->count);
    for (int i = 0; i < r.anz; ++i) {
      tab[i] = band_for(i, r.anz, first, rows, x0, dx, y0, dy, limit, no_firstpass, r.highq, m, r.grid_bands);
    }
    // A row that several bands cover is stored by the last of them alone.
    int next_first = top;
    for (int i = r.anz - 1; i >= 0; --i) {
      tab[i].own = std::min(tab[i].first + tab[i].rows, next_first);
      tab[i].crew = &crew;
      tab[i].with = &r;
      if (tab[i].rows > 0) next_first = std::min(next_first, tab[i].first);
    }
    for (int i = 0; i < r.anz; ++i) {
      while (sproc(smandel, SHARE_ALL, &tab[i]) == -1) {
        say(r, "waiting...\n");
        sleep(1);
      }
    }
    // The crew lives until every worker has signalled, after its last use of it. Meanwhile
    // this thread keeps an ear on the window system.
    for (int i = 0; i < r.anz; ++i) {
      while (!blockproc_for(r.pid, 5)) {
        if (r.poll) r.poll();
      }
    }
  } else {
    say(r, "not all children finished!!!\n");
  }

  r.show();
  // An abandoned picture is not marked for refinement at rest: what abandoned it (a press, a
  // quit) is a step the loop takes next, and refining meanwhile would only be abandoned again.
  const bool coarse = m != 0 || r.highq == 0;
  if (r.picture_coarse) {
    if (coarse) {
      *r.picture_coarse = true;
    } else if (first == 0 && rows >= r.screen->height && r.LOX == 0 &&
               r.XPTS == r.screen->stride) {
      *r.picture_coarse = false;  // the whole picture at full quality
    }
  }

  // A zoom or pan button was down, so only the coarse pass ran; if every button is up now,
  // refine what is in screen into the full picture.
  if ((m & 3) != 0 && r.buttons() == 0 && r.highq != 0) {
    Rendering again = r;
    again.no_firstpass = 1;
    again.refining = true;
    mandel(again, first, rows, x0, dx, y0, dy, limit);
  }
}

}  // namespace zd
