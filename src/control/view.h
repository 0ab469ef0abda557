// view.h — the program's state in one struct: view, geometry, flags, workers, tables, buffers.
// The parts share it through the short names below, which refer to its members.
#pragma once
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "navigation/viewpoint.h"

namespace zd {

// Window and buffer geometry. The row stride of both buffers is always WINW words.
constexpr int WINW = 480;
constexpr int WINH = 360;
constexpr int WINWORDS = WINW * WINH;  // 172800: what the window shows
// 484 x 364 words: the window area plus the band worker's reach above the top row and past the
// last column (walk.h checks that it suffices).
constexpr int BUFWORDS = 176176;

constexpr int LOGOW = 124;  // logo block, bottom row first, 0 = transparent
constexpr int LOGOH = 21;
constexpr int MAXWORKERS = 512;  // the renderer's band table

// A back-out step that would take a half-extent beyond this is not taken: it lies hundreds of
// decades beyond the whole set, and nothing computed from it overflows. Diving has no floor.
constexpr double STEP_CEILING = View::STEP_CEILING;

enum Stop : int { STOP_NONE = 0, STOP_REFINING = 1, STOP_ALL = 2 };

struct State {
  // The view: centre, signed half-extents and the limit (a double, truncated when handed out),
  // with the precision its depth needs (navigation/viewpoint.h).
  View view;
  // Picture geometry: 480, 360, 0, 0 except while a pan strip is being computed.
  int XPTS = 0, YPTS = 0, LOX = 0, LOY = 0;
  // Control flags (0 or 1).
  int calc = 0, highq = 0, no_firstpass = 0;
  // Worker count per computation (0: the main thread computes) and the main process's id.
  int anz = 0, pid = 0;
  // The window shows pixels computed at coarse quality only (a button was down when they were
  // computed, or highq is 0) that no full-quality whole picture has replaced since. The
  // renderer keeps it; the navigation loop refines such a picture when the user rests.
  bool picture_coarse = false;

  std::uint32_t* screen = nullptr;     // the computed picture; never holds logo pixels
  std::uint32_t* screenbak = nullptr;  // display copy with the logo stamped in
  std::uint32_t* snap_long = nullptr;  // LOGOW x LOGOH logo words
  std::uint32_t mycoltab[256] = {};
  // The start view and limit, which the Home key brings back.
  View home;
  // The kernel the pictures of the current view are computed with (compute/kernels.h).
  const struct PointKernel* kernel = nullptr;

  // Set while a picture may be abandoned: STOP_REFINING (a mouse press: the refinement passes
  // in progress stop, the coarse picture stays) or STOP_ALL (the user leaves). The workers'
  // kernels look at it now and then; only the explorer sets it.
  std::atomic<int> stop{0};
  // The thread that runs start-up and the loop: the only one that may ask the window system,
  // which it does through poll now and then while it computes.
  std::thread::id main_thread{};
  void (*poll)() = nullptr;

  // Pictures are not computed: the renderer writes the window (whatever screen holds) and
  // reads the buttons as it always does, so a session's lines take effect at the same moments
  // and its views are the same; only the pixels are missing. A film learns its views so.
  bool views_only = false;

  // Where the renderer's two messages go (null: standard output). A batch run whose standard
  // output carries what was asked for sends them to standard error.
  std::FILE* say_to = nullptr;

  // Points computed by the band workers, and the sum of their escape counts (the iterations
  // made, but for one uncounted last step per escaping point). Workers add to them.
  std::atomic<long long> points_done{0}, iterations_done{0};

  // The storage behind screen, screenbak and snap_long: part of the state, so it lives as long
  // as the process, as the buffers must, and cannot fail to be allocated.
  alignas(64) std::uint32_t screen_words[BUFWORDS] = {};
  alignas(64) std::uint32_t screenbak_words[BUFWORDS] = {};
  std::uint32_t logo_words[LOGOW * LOGOH] = {};
};

extern State prog;

inline double& xmit = prog.view.xmit;
inline double& ymit = prog.view.ymit;
inline double& xstep = prog.view.xstep;
inline double& ystep = prog.view.ystep;
inline double& maxit = prog.view.maxit;
inline int& XPTS = prog.XPTS;
inline int& YPTS = prog.YPTS;
inline int& LOX = prog.LOX;
inline int& LOY = prog.LOY;
inline int& calc = prog.calc;
inline int& highq = prog.highq;
inline int& no_firstpass = prog.no_firstpass;
inline int& anz = prog.anz;
inline int& pid = prog.pid;
inline bool& picture_coarse = prog.picture_coarse;
inline std::uint32_t*& screen = prog.screen;
inline std::uint32_t*& screenbak = prog.screenbak;
inline std::uint32_t*& snap_long = prog.snap_long;
inline std::uint32_t (&mycoltab)[256] = prog.mycoltab;

// Puts the whole program back to its state before start-up: this struct (all zero), the
// process services (wake-ups, test hooks) and the graphics backend in use (a fresh, closed
// window). For tests and benchmarks that run start-up again.
void reset_state();

}  // namespace zd
