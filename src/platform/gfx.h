// gfx.h — the graphics and input operations the program draws and reads the mouse through,
// and the table of operations a backend (headless, SDL2) provides behind them.
#pragma once
#include <cstdint>

namespace zd {

// Input devices, numbered as the program's callers expect.
enum Device : int {
  RIGHTMOUSE = 101,
  MIDDLEMOUSE = 102,
  LEFTMOUSE = 103,
  MOUSEX = 266,
  MOUSEY = 267,
};

// The next window covers screen columns x1..x2 and rows y1..y2, from the screen's bottom-left.
void prefposition(int x1, int x2, int y1, int y2);
// The window, once open, is never made smaller than width x height by its user.
void minsize(int width, int height);
// Opening the window keeps the program in this process (pid stays valid).
void foreground();
// Opens the one window, of the size prefposition gave, and makes it current. Returns -1 if no
// window could be opened; gfx_error() then says why.
int winopen(const char* title);
void wintitle(const char* title);  // the window's title from now on
// The window's size in pixels as the program is to take it: what it was opened with, or what a
// CMD_RESIZE taken since said.
void getsize(int* width, int* height);
void cursoff();  // no cursor drawn in the window
void RGBmode();  // the window shows packed pixel words directly
void gconfig();  // ... single-buffered, from now on
void cpack(std::uint32_t colour);  // colour for clear()
void clear();                      // whole window to the cpack colour
// Shows the rectangle (x1, y1)..(x2, y2), inclusive, window coordinates from the bottom-left;
// parray holds its words row by row, bottom row first. Pixel word: red bits 0-7, green 8-15,
// blue 16-23.
void lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray);
// 1 while the button is down, 0 otherwise, at the moment of the call.
int getbutton(int dev);
// The pointer's current position: MOUSEX 0..1279 from the left, MOUSEY 0..1023 from the bottom,
// within the bounds last set.
int getvaluator(int dev);
// Warps the valuator to value and bounds it to [vmin, vmax].
void setvaluator(int dev, short value, short vmin, short vmax);
void gexit();  // closes the graphics
const char* gfx_error();

// Keys that change the view, taken by the navigation loop between steps. Like the mouse, they
// reach the program only where a line of recorded input would: at a pointer warp, or when the
// program waits for input.
enum Command : int {
  NO_COMMAND = 0,
  CMD_HOME = 1,          // back to the start view and limit
  CMD_MORE_ITERATIONS,   // the iteration limit doubled
  CMD_FEWER_ITERATIONS,  // ... halved
  CMD_UNDO,              // back one gesture
  CMD_REDO,              // forward one gesture
  CMD_RESIZE,            // the window has a new size (getsize)
  CMD_MINIBROT,          // to the small copy of the set of lowest period in the view
  // CMD_COLOUR + k: the colouring becomes number k, in the order of display/colouring.h's
  // Colours (design, smooth, distance). Last: the numbers after it are its.
  CMD_COLOUR,
};
// The command waiting for the loop, if any; take_command() also removes it.
int command_pending();
int take_command();

// What happened since the program last looked, asked now and then while a picture is being
// computed (main thread only): 0 nothing, INTERRUPT_PRESS a mouse button was pressed (a
// refinement in progress may be abandoned), INTERRUPT_QUIT the user wants to leave (the
// picture may be abandoned). It changes nothing the program reads: that waits for its time.
enum Interrupt : int { NO_INTERRUPT = 0, INTERRUPT_PRESS = 1, INTERRUPT_QUIT = 2 };
int interrupted();

// One backend: the operations above. Contracts as stated on the free functions.
struct GfxBackend {
  const char* name;
  void (*prefposition)(int x1, int x2, int y1, int y2);
  void (*minsize)(int width, int height);
  int (*winopen)(const char* title);
  void (*wintitle)(const char* title);
  void (*getsize)(int* width, int* height);
  void (*cursoff)();
  void (*clear)(std::uint32_t colour);
  void (*lrectwrite)(int x1, int y1, int x2, int y2, const std::uint32_t* parray);
  int (*getbutton)(int dev);
  int (*getvaluator)(int dev);
  void (*setvaluator)(int dev, short value, short vmin, short vmax);
  void (*gexit)();
  const char* (*error)();
  void (*reset)();  // back to a fresh, closed window and devices at rest
  int (*command)(bool take);
  int (*interrupted)();
};

// Chooses the backend for every following call; only a program's main does this.
void use_backend(const GfxBackend* backend);
// Puts the backend in use (if any) back to its state before start-up.
void gfx_reset();

}  // namespace zd
