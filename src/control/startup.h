// startup.h — the command line and the start-up sequence shared by the explorer and the renderer.
#pragma once
#include <string>

namespace zd {

// What the command line asks for, read and checked before anything else happens.
struct Cmdline {
  int workers = 0;  // anz
  bool view_given = false;
  double view[5] = {3.0, -2.0, 1.875, -1.874, 50.0};  // x1 x2 y1 y2 limit
};

enum class Parsed { Run, Help, Version, Error };

// The explorer's forms: one argument, the worker count; five, the view and the limit; any other
// count, the defaults. --help or --version as the only argument. On Error, err holds the message
// (without the program's name).
Parsed parse_explorer_args(int argc, const char* const* argv, Cmdline& out, std::string& err);

// A worker count as "%d" reads it: leading digits, else 0; above MAXWORKERS it is MAXWORKERS.
int parse_worker_count(const char* s);
// True if all of s (leading and trailing blanks aside) is one number; v is its value.
bool read_number(const char* s, double& v);
// Reads the five-number form (x1 x2 y1 y2 limit) into out.view and sets out.view_given. Each
// number must read whole and be finite, the limit's truncation must fit an int, and the view
// must be one the explorer can show and zoom from: x1 != x2, y1 != y2, a finite centre, and both
// half-extents finite and within [STEP_FLOOR, STEP_CEILING]. On false, err says what is wrong.
bool read_view(const char* const nums[5], Cmdline& out, std::string& err);

// Runs start-up up to the navigation loop: pid, child handling, pointer, buffers, colour table
// and window, view, geometry, flags, logo. Returns false if the window cannot be opened.
bool startup(const Cmdline& cmd);

}  // namespace zd
