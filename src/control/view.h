// view.h — every global the explorer's parts share: view, geometry, flags, workers, tables, buffers.
#pragma once
#include <cstdint>

namespace zd {

// Window and buffer geometry. The row stride of both buffers is always WINW words.
constexpr int WINW = 480;
constexpr int WINH = 360;
constexpr int WINWORDS = WINW * WINH;  // 172800: what the window shows
// 484 x 364 words: the window area plus the band worker's reach above the top row
// (its tests read up to 4 rows above a block row and a few words past the last column).
constexpr int BUFWORDS = 176176;

constexpr int LOGOW = 124;  // logo block, bottom row first, 0 = transparent
constexpr int LOGOH = 21;
constexpr int MAXWORKERS = 512;  // the renderer's band table

// Bounds on the magnitude of xstep and ystep. A dive or back-out step that would cross them is
// not taken: below the floor the view would sink into subnormal numbers where zooming stalls
// for good, above the ceiling it would overflow. Both lie hundreds of decades beyond any view a
// person reaches, and keep every pixel pitch and pan offset a normal number.
constexpr double STEP_FLOOR = 1e-290;
constexpr double STEP_CEILING = 1e290;

// View. xstep/ystep are signed half-extents; maxit is a double, truncated when handed out.
extern double xmit, ymit, xstep, ystep, maxit;
// Picture geometry: 480, 360, 0, 0 except while a pan strip is being computed.
extern int XPTS, YPTS, LOX, LOY;
// Control flags (0 or 1).
extern int calc, highq, no_firstpass;
// Worker count per computation (0: the main thread computes) and the main process's id.
extern int anz, pid;
// Set while the window shows pixels computed at coarse quality only (a button was down when
// they were computed) that no full-quality whole picture has replaced since.
extern bool picture_coarse;

extern std::uint32_t* screen;     // the computed picture; never holds logo pixels
extern std::uint32_t* screenbak;  // display copy with the logo stamped in
extern std::uint32_t mycoltab[256];
extern std::uint32_t* snap_long;  // LOGOW x LOGOH logo words

// The storage behind screen, screenbak and snap_long: allocated once for the whole run.
std::uint32_t* screen_storage();
std::uint32_t* screenbak_storage();
std::uint32_t* logo_storage();

// Puts every global back to its state before start-up (all zero); for tests that run start-up again.
void reset_state();

}  // namespace zd
