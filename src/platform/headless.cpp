// headless.cpp — the in-memory window and settable devices behind headless_backend().
#include "platform/headless.h"

#include <algorithm>
#include <memory>

namespace zd {

namespace {

std::unique_ptr<HeadlessState> state = std::make_unique<HeadlessState>();

HeadlessState::Valuator* valuator(int dev) {
  if (dev == MOUSEX) return &state->mousex;
  if (dev == MOUSEY) return &state->mousey;
  return nullptr;
}

void hl_prefposition(int x1, int x2, int y1, int y2) {
  state->posx1 = x1;
  state->posx2 = x2;
  state->posy1 = y1;
  state->posy2 = y2;
}

int hl_winopen(const char* title) {
  state->open = true;
  state->closed = false;
  state->title = title;
  state->writes = 0;
  return 1;
}

void hl_cursoff() { state->cursor = false; }

void hl_clear(std::uint32_t colour) { std::fill(std::begin(state->pixels), std::end(state->pixels), colour); }

void hl_lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray) {
  const int w = x2 - x1 + 1;
  for (int y = y1; y <= y2; ++y) {
    for (int x = x1; x <= x2; ++x) {
      if (x >= 0 && x < 480 && y >= 0 && y < 360) {
        state->pixels[y * 480 + x] = parray[(y - y1) * w + (x - x1)];
      }
    }
  }
  ++state->writes;
  if (state->on_write) state->on_write(*state);
}

int hl_getbutton(int dev) {
  if (state->on_read) state->on_read(*state, dev);
  if (dev < RIGHTMOUSE || dev > LEFTMOUSE) return 0;
  return state->buttons[dev - RIGHTMOUSE] ? 1 : 0;
}

int hl_getvaluator(int dev) {
  if (state->on_read) state->on_read(*state, dev);
  const HeadlessState::Valuator* v = valuator(dev);
  if (!v) return 0;
  return std::clamp(v->value, v->vmin, std::max(v->vmin, v->vmax));
}

void hl_setvaluator(int dev, short value, short vmin, short vmax) {
  if (HeadlessState::Valuator* v = valuator(dev)) {
    *v = {value, vmin, vmax};
  }
  if (state->on_warp) state->on_warp(*state, dev);
}

void hl_gexit() {
  state->open = false;
  state->closed = true;
}

const char* hl_error() { return ""; }

void hl_reset() { state = std::make_unique<HeadlessState>(); }

int hl_command(bool take) {
  const int c = state->command;
  if (take) state->command = NO_COMMAND;
  return c;
}

int hl_interrupted() { return state->interrupt; }

const GfxBackend backend = {
    "headless",   hl_prefposition, hl_winopen,     hl_cursoff, hl_clear, hl_lrectwrite,
    hl_getbutton, hl_getvaluator,  hl_setvaluator, hl_gexit,   hl_error, hl_reset,
    hl_command,   hl_interrupted,
};

}  // namespace

const GfxBackend* headless_backend() { return &backend; }
HeadlessState& headless() { return *state; }
void reset_headless() { hl_reset(); }

}  // namespace zd
