// view.cpp — the single definition of the shared state.
#include "control/view.h"

#include <cstring>

namespace zd {

double xmit, ymit, xstep, ystep, maxit;
int XPTS, YPTS, LOX, LOY;
int calc, highq, no_firstpass;
int anz, pid;
bool picture_coarse;
std::uint32_t* screen;
std::uint32_t* screenbak;
std::uint32_t mycoltab[256];
std::uint32_t* snap_long;

namespace {
// Static rather than heap storage: it lives as long as the process, as the buffers must,
// and cannot fail to be allocated.
alignas(64) std::uint32_t screen_words[BUFWORDS];
alignas(64) std::uint32_t screenbak_words[BUFWORDS];
std::uint32_t logo_words[LOGOW * LOGOH];
}  // namespace

std::uint32_t* screen_storage() { return screen_words; }
std::uint32_t* screenbak_storage() { return screenbak_words; }
std::uint32_t* logo_storage() { return logo_words; }

void reset_state() {
  xmit = ymit = xstep = ystep = maxit = 0.0;
  XPTS = YPTS = LOX = LOY = 0;
  calc = highq = no_firstpass = 0;
  anz = pid = 0;
  picture_coarse = false;
  screen = screenbak = snap_long = nullptr;
  std::memset(mycoltab, 0, sizeof mycoltab);
  std::memset(screen_words, 0, sizeof screen_words);
  std::memset(screenbak_words, 0, sizeof screenbak_words);
  std::memset(logo_words, 0, sizeof logo_words);
}

}  // namespace zd
