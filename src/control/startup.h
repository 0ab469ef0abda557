// startup.h — the command line and the start-up sequence shared by the explorer and the renderer.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "compute/picture.h"
#include "compute/viewpoint.h"
#include "display/colouring.h"

namespace zd {

// Steps a second while a button is held: few enough that a person can stop a dive where they
// like (each step zooms by a tenth, so a second's dive is about a fivefold zoom), many enough
// that the motion looks continuous. And the bounds of --rate and of the keys that change it.
constexpr double DEFAULT_RATE = 15.0;
constexpr double MIN_RATE = 1.0, MAX_RATE = 200.0;

// What the command line asks for, read and checked before anything else happens.
struct Cmdline {
  int workers = 0;  // anz
  bool view_given = false;
  double view[5] = {3.0, -2.0, 1.875, -1.874, 50.0};  // x1 x2 y1 y2 limit
  // The view state itself (xmit ymit xstep ystep maxit), when given with --view; it takes the
  // place of the five numbers above.
  bool state_given = false;
  double state[5] = {};
  // Both as given: a deep view keeps every digit.
  std::string view_text[5], state_text[5];
  // The window's size (--window WxH).
  int width = DESIGN_W, height = DESIGN_H;
  // The explorer's own: a file that records the session, and the pace of held buttons.
  bool record_given = false;
  std::string record;
  double rate = DEFAULT_RATE;
  // --colour and --palette (control/colour_cli.h).
  Colours colours = Colours::Design;
  std::optional<Palette> palette;
};

enum class Parsed { Run, Help, Version, Error };

// The explorer's forms: one argument, the worker count; five, the view and the limit; any other
// count, the defaults. Options (--workers, --view, --window, --record, --rate, --help,
// --version) combine with them. On Error, err holds the message (without the program's name).
Parsed parse_explorer_args(int argc, const char* const* argv, Cmdline& out, std::string& err);

// Positional arguments from what an option parser left over, in their order: numbers may begin
// with '-', "--" ends the options; anything else that begins with '-' is an unknown option (err).
bool positionals(const std::vector<std::string>& rest, std::vector<std::string>& nums,
                 std::string& err);
// Reads `--view`'s or the five-number form's numbers as given (strings) into out.
bool read_view_strings(const std::vector<std::string>& nums, bool state, Cmdline& out,
                       std::string& err);
// --location FILE's view (control/location.h) into out as --view's numbers; view_given: the view
// was given otherwise too, which is an error.
bool read_location(const std::string& file, bool view_given, Cmdline& out, std::string& err);

// --window's WxH into out.width and out.height: whole numbers, at least 64 x 48, at most 65536
// each. On false, err says what is wrong.
bool read_window_size(const std::string& text, Cmdline& out, std::string& err);
// "--window WxH " for a window that is not the design's 480 x 360, else "".
std::string window_argument(int width, int height);

// A worker count as "%d" reads it: leading digits, else 0; above MAXWORKERS it is MAXWORKERS.
int parse_worker_count(const char* s);
// True if all of s (leading and trailing blanks aside) is one number; v is its value.
bool read_number(const char* s, double& v);
// Reads the five-number form (x1 x2 y1 y2 limit) into out.view and sets out.view_given. Each
// number must read whole and be finite, the limit's truncation must fit an int, and the view
// must be one the explorer can show and zoom from: x1 != x2, y1 != y2, a finite centre, and both
// half-extents finite, not 0 and at most STEP_CEILING. On false, err says what is wrong.
bool read_view(const char* const nums[5], Cmdline& out, std::string& err);

// Reads --view's five numbers (xmit ymit xstep ystep maxit) into out.state and sets
// out.state_given, with the same checks as read_view: each number finite, the limit's
// truncation within an int, both half-extents non-zero and at most STEP_CEILING.
bool read_view_state(const char* const nums[5], Cmdline& out, std::string& err);

// A number as given, with every digit it has (four bits a character); nothing if it is not one.
std::optional<BigFloat> exact(const std::string& s);
// The start view the command line asks for: the design's doubles for a shallow view, every
// digit given for a deep one.
View start_view(const Cmdline& cmd);

// The start view's arguments as the command line gave them (--window if not 480 x 360, then
// --view or the five numbers, every digit as typed; none for the default view): they start a
// replay exactly there.
std::string start_arguments(const Cmdline& cmd);

// Runs start-up up to the navigation loop: pid, child handling, pointer, colour table and
// window, the window's picture, view, geometry, flags, logo. Returns false if the window cannot
// be opened.
bool startup(const Cmdline& cmd);

}  // namespace zd
