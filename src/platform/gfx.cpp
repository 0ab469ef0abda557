// gfx.cpp — forwards the graphics and input operations to the backend in use.
#include "platform/gfx.h"

#include <cassert>

namespace zd {

namespace {
struct GfxState {
  const GfxBackend* backend = nullptr;
  std::uint32_t colour = 0;  // last cpack
};
GfxState g;

const GfxBackend& be() {
  assert(g.backend && "No graphics backend chosen: call use_backend() first");
  return *g.backend;
}
}  // namespace

void use_backend(const GfxBackend* backend) { g.backend = backend; }

void prefposition(int x1, int x2, int y1, int y2) { be().prefposition(x1, x2, y1, y2); }
void minsize(int width, int height) { be().minsize(width, height); }
void foreground() {}  // threads never leave the process: nothing to do
int winopen(const char* title) { return be().winopen(title); }
void wintitle(const char* title) { be().wintitle(title); }
void getsize(int* width, int* height) { be().getsize(width, height); }
void cursoff() { be().cursoff(); }
void RGBmode() {}  // the only mode the backends have
void gconfig() {}
void cpack(std::uint32_t colour) { g.colour = colour; }
void clear() { be().clear(g.colour); }
void lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray) {
  be().lrectwrite(x1, y1, x2, y2, parray);
}
int getbutton(int dev) { return be().getbutton(dev); }
int getvaluator(int dev) { return be().getvaluator(dev); }
void setvaluator(int dev, short value, short vmin, short vmax) {
  be().setvaluator(dev, value, vmin, vmax);
}
void gexit() { be().gexit(); }
int command_pending() { return be().command(false); }
int take_command() { return be().command(true); }
int interrupted() { return be().interrupted(); }
void gfx_reset() {
  g.colour = 0;
  if (g.backend) g.backend->reset();
}
const char* gfx_error() { return g.backend ? be().error() : "no graphics backend"; }

}  // namespace zd
