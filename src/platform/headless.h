// headless.h — a real, minimal graphics backend without a display: an in-memory window that
// keeps what was written to it, and input devices that the caller sets. Tests and the batch
// renderer run the whole program on it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/gfx.h"
#include "platform/script.h"

namespace zd {

struct HeadlessState {
  // Window.
  bool open = false;
  std::string title;                // as opened, or as wintitle set it
  std::vector<std::string> retitled;  // each title wintitle set, in order
  bool cursor = true;  // cleared by cursoff
  int posx1 = 0, posx2 = 0, posy1 = 0, posy2 = 0;  // last prefposition
  int width = 0, height = 0;                      // as opened, or as a resize made it
  std::vector<std::uint32_t> pixels;              // window contents, bottom row first
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

// A script (platform/script.h) played through the headless devices.
class ScriptedInput {
 public:
  explicit ScriptedInput(std::vector<ScriptLine> lines) : lines_(std::move(lines)) {}

  // From now on the headless devices follow the script. Call it after start-up has put the
  // pointer at the centre (that warp is not the program's). Keeps an on_write already set.
  void attach(HeadlessState& hs);

  std::size_t activated() const { return next_; }  // lines made active so far
  std::size_t size() const { return lines_.size(); }
  bool finished() const { return ended_; }

 private:
  void read(HeadlessState& hs);
  void warp(HeadlessState& hs, int dev);
  void activate(HeadlessState& hs);

  std::vector<ScriptLine> lines_;
  std::size_t next_ = 0;
  bool ended_ = false;
  LineClock clock_;
};

}  // namespace zd
