// script.h — recorded input: a text script of mouse states and view keys that drives the
// headless backend's devices, so that a session can be replayed without a display; and the
// clock that says when the next line takes effect, which the live devices keep too.
//
// Each line is `BUTTONS DX DY` (BUTTONS: '-' or letters from L, M, R; DX right and DY up, in
// valuator counts from the screen centre), or one of the keys `home`, `limit*2`, `limit/2`,
// `undo`, `redo`, `minibrot` (to the small copy in the view), `window WxH` (the window's new
// size) or `colour NAME` (the colouring becomes NAME: CMD_COLOUR + its number); after a key
// the pointer goes back to the centre, the buttons stay. Blank lines and '#' lines are
// skipped. A line becomes active at every pointer warp (setmouse) and when the program has
// read the devices 1000 times in a row with no warp or window write in between (it is waiting
// for input). After the last line the right button is down for ever, which ends the explorer.
// (The headless backend plays scripts: platform/headless.h.)
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gfx.h"

namespace zd {

struct ScriptLine {
  int buttons;  // 1 left, 2 middle, 4 right
  int dx, dy;   // within the range of int
  int command = NO_COMMAND;  // a key line: buttons, dx and dy are not used
  int width = 0, height = 0;  // CMD_RESIZE's size, 1 to 65536 each
};

// The line as a script holds it.
std::string format_line(const ScriptLine& s);

// When the next line takes effect: at the second of a warp's two setvaluator calls, and at the
// STALL_READS-th device read in a row with no warp or window write in between.
class LineClock {
 public:
  static constexpr int STALL_READS = 1000;
  bool read() {
    if (++reads_ < STALL_READS) return false;
    reads_ = 0;
    return true;
  }
  bool warp(int dev) {
    reads_ = 0;
    return dev == MOUSEY;
  }
  void write() { reads_ = 0; }

 private:
  int reads_ = 0;  // device reads since the last warp or window write
};

// Takes a script piece by piece and parses each line as it completes, so that a file is never
// held whole and one without end (/dev/zero, a pipe that goes on) is refused once past a bound.
struct ScriptBounds {
  std::size_t bytes = std::size_t{100} << 20;  // 100 MiB
  std::size_t line = std::size_t{1} << 20;     // 1 MiB, newline aside
  int lines = 10'000'000;
};
class ScriptReader {
 public:
  using Bounds = ScriptBounds;
  explicit ScriptReader(std::vector<ScriptLine>& out, Bounds bounds = {})
      : out_(out), bounds_(bounds) {
    out_.clear();
  }
  // False at the first fault: line() is its 1-based number, what() the fault.
  bool feed(std::string_view bytes);
  // The last line, if it has no newline.
  bool finish();
  int line() const { return number_; }
  const std::string& what() const { return what_; }

 private:
  bool take(std::string_view line);
  bool fault(std::string what);

  std::vector<ScriptLine>& out_;
  const Bounds bounds_;
  std::string partial_;  // the line so far, when a piece ended inside it
  std::size_t bytes_ = 0;
  int number_ = 0;  // lines completed, or the faulty one
  std::string what_;
  bool failed_ = false;
};

// Parses a whole script. On failure returns false with the 1-based line number and the fault.
bool parse_script(std::string_view text, std::vector<ScriptLine>& out, int& bad_line,
                  std::string& what);
// Reads and parses the file; on failure err is "PATH:LINE: what is wrong".
bool load_script(const std::string& path, std::vector<ScriptLine>& out, std::string& err);

}  // namespace zd
