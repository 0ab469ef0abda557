// headless.cpp — the in-memory window and settable devices behind headless_backend(), and
// scripts played through them.
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

// The window takes a new size, black.
void size_window(HeadlessState& hs, int width, int height) {
  hs.width = width;
  hs.height = height;
  hs.pixels.assign(static_cast<std::size_t>(width) * height, 0);
}

void hl_prefposition(int x1, int x2, int y1, int y2) {
  state->posx1 = x1;
  state->posx2 = x2;
  state->posy1 = y1;
  state->posy2 = y2;
}

void hl_minsize(int, int) {}  // nobody resizes this window but a script

int hl_winopen(const char* title) {
  state->open = true;
  state->closed = false;
  state->title = title;
  state->writes = 0;
  size_window(*state, state->posx2 - state->posx1 + 1, state->posy2 - state->posy1 + 1);
  return 1;
}

void hl_wintitle(const char* title) {
  state->title = title;
  state->retitled.push_back(title);
}

void hl_getsize(int* width, int* height) {
  *width = state->width;
  *height = state->height;
}

void hl_cursoff() { state->cursor = false; }

void hl_clear(std::uint32_t colour) { std::fill(state->pixels.begin(), state->pixels.end(), colour); }

void hl_lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray) {
  const int w = x2 - x1 + 1;
  for (int y = std::max(y1, 0); y <= std::min(y2, state->height - 1); ++y) {
    for (int x = std::max(x1, 0); x <= std::min(x2, state->width - 1); ++x) {
      state->pixels[static_cast<std::size_t>(y) * state->width + x] = parray[(y - y1) * w + (x - x1)];
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
    "headless",     hl_prefposition, hl_minsize,     hl_winopen, hl_wintitle, hl_getsize,
    hl_cursoff,     hl_clear,        hl_lrectwrite,  hl_getbutton, hl_getvaluator,
    hl_setvaluator, hl_gexit,        hl_error,       hl_reset,   hl_command,  hl_interrupted,
};

}  // namespace

const GfxBackend* headless_backend() { return &backend; }
HeadlessState& headless() { return *state; }
void reset_headless() { hl_reset(); }

void ScriptedInput::attach(HeadlessState& hs) {
  hs.on_read = [this](HeadlessState& s, int) { read(s); };
  hs.on_warp = [this](HeadlessState& s, int dev) { warp(s, dev); };
  hs.on_write = [this, then = hs.on_write](const HeadlessState& s) {
    clock_.write();
    if (then) then(s);
  };
}

void ScriptedInput::read(HeadlessState& hs) {
  if (clock_.read()) activate(hs);
}

void ScriptedInput::warp(HeadlessState& hs, int dev) {
  if (clock_.warp(dev)) activate(hs);
}

void ScriptedInput::activate(HeadlessState& hs) {
  ScriptLine s{4, 0, 0};  // past the end: the right button alone, the pointer at the centre
  if (next_ < lines_.size()) {
    s = lines_[next_++];
  } else {
    ended_ = true;
  }
  if (s.command != NO_COMMAND) {
    hs.command = s.command;
    if (s.command == CMD_RESIZE) size_window(hs, s.width, s.height);
    hs.mousex.value = 640;
    hs.mousey.value = 512;
    return;
  }
  hs.buttons[LEFTMOUSE - RIGHTMOUSE] = (s.buttons & 1) != 0;
  hs.buttons[MIDDLEMOUSE - RIGHTMOUSE] = (s.buttons & 2) != 0;
  hs.buttons[RIGHTMOUSE - RIGHTMOUSE] = (s.buttons & 4) != 0;
  hs.mousex.value = static_cast<int>(std::clamp(640LL + s.dx, 0LL, 1279LL));
  hs.mousey.value = static_cast<int>(std::clamp(512LL + s.dy, 0LL, 1023LL));
}

}  // namespace zd
