// headless.h — a real, minimal graphics backend without a display: an in-memory window that
// keeps what was written to it, and input devices that the caller sets. Tests and the batch
// renderer run the whole program on it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/gfx.h"

namespace zd {

struct HeadlessState {
  // Window.
  bool open = false;
  std::string title;
  bool cursor = true;  // cleared by cursoff
  int posx1 = 0, posx2 = 0, posy1 = 0, posy2 = 0;  // last prefposition
  std::uint32_t pixels[480 * 360] = {};           // window contents, bottom row first
  long long writes = 0;                           // lrectwrite calls since the window opened
  bool closed = false;                            // gexit called
  // Called after every lrectwrite, with the window contents already updated.
  std::function<void(const HeadlessState&)> on_write;

  // Devices.
  int buttons[3] = {};  // RIGHTMOUSE, MIDDLEMOUSE, LEFTMOUSE, in device order 101..103
  struct Valuator {
    int value = 0, vmin = 0, vmax = 0;
  } mousex, mousey;
  // Called before every getbutton/getvaluator with the device; may change the devices.
  std::function<void(HeadlessState&, int dev)> on_read;
  // Called after every setvaluator.
  std::function<void(HeadlessState&, int dev)> on_warp;
  int command = NO_COMMAND;  // waiting for the loop
  std::atomic<int> interrupt{NO_INTERRUPT};  // what interrupted() answers (tests set it)
};

const GfxBackend* headless_backend();
// The backend's one state; reset_headless() puts it back to a fresh, closed window.
HeadlessState& headless();
void reset_headless();

}  // namespace zd
