// sdl.cpp — the SDL2 backend: one window showing packed pixel words, and the mouse and keys as
// polled devices. The pointer is a relative device: SDL's relative mode keeps it inside the
// window and hidden, and the MOUSEX/MOUSEY valuators move by its motion in screen pixels.
//
// Once live (sdl_live), what the program reads changes only where a line of recorded input
// would take effect: at a pointer warp, and when the program has read the devices LineClock's
// number of times in a row with no warp or window write (it is waiting). What the user did
// since the last such moment is taken in as one line: the motion as the pointer's offset, a
// press (however short) as a held button, a wheel notch as a click, a view key as a line of
// its own, a new window size too. So the lines, written down, replay the session exactly.
#include "platform/sdl.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "display/colouring.h"

namespace zd {

namespace {

using Clock = std::chrono::steady_clock;

// The C key among the view keys until its line says which colouring it goes to.
constexpr int NEXT_COLOURS = -1;

struct Valuator {
  int value = 0, vmin = 0, vmax = 0;
  void set(int v) { value = std::clamp(v, vmin, std::max(vmin, vmax)); }
};

// What the user has done since the last line took effect.
struct Since {
  int dx = 0, dy = 0;       // pointer motion in valuator counts, dy upward
  bool pressed[4] = {};     // by SDL button number: a click shorter than a step still counts
  int wheel = 0;            // notches not yet taken: > 0 dive, < 0 back out
  std::deque<int> commands;  // view keys, in order
  std::deque<char> keys;     // P and S, done when the view is whole
  bool resized = false;      // the window's size may have changed
  bool quit = false;         // closed, Esc, Q, a right click, SIGTERM
};

struct SdlState {
  bool has_pos = false;
  int posx1 = 0, posy2 = 0;  // prefposition: left column and top row, from the bottom-left
  int width = 0, height = 0;  // the window's size as the program takes it (getsize)
  int min_width = 1, min_height = 1;

  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;  // width x height words; row 0 at the bottom, shown flipped
  int tex_width = 0, tex_height = 0;
  std::string error;
  Display* x11 = nullptr;  // to sleep on the X connection until it has something
  bool full = false;        // filling the screen by its own size (no window manager does it)
  SDL_Rect before_full{};   // ... and where it was before

  // What the program reads.
  Valuator mousex, mousey;
  int buttons = 0;  // 1 left, 2 middle, 4 right
  int command = NO_COMMAND;

  Since since;
  bool notch_taken = false;  // the last line was a wheel notch: the next one lets go
  bool live = false;
  LiveInput hooks;
  LineClock clock;
  Clock::time_point last_step{};  // of the last step taken with a button held
};
SdlState s;

void present() {
  if (!s.renderer || !s.texture) return;
  int w = s.tex_width, h = s.tex_height;
  SDL_GetRendererOutputSize(s.renderer, &w, &h);
  // The picture is the window's size; until a new size has reached the program, the last one
  // is scaled to fill the window (nearest neighbour, aspect kept, black bars around).
  const double scale = std::min(static_cast<double>(w) / s.tex_width,
                                static_cast<double>(h) / s.tex_height);
  const int dw = static_cast<int>(std::lround(s.tex_width * scale));
  const int dh = static_cast<int>(std::lround(s.tex_height * scale));
  const SDL_Rect dst = {(w - dw) / 2, (h - dh) / 2, dw, dh};
  SDL_SetRenderDrawColor(s.renderer, 0, 0, 0, 255);
  SDL_RenderClear(s.renderer);
  SDL_RenderCopyEx(s.renderer, s.texture, nullptr, &dst, 0.0, nullptr, SDL_FLIP_VERTICAL);
  SDL_RenderPresent(s.renderer);
}

void say_rate() { std::fprintf(stderr, "zoomdive: %g steps a second\n", s.hooks.rate); }

// The texture the program's words go to, width x height; false if it cannot be made.
bool make_texture(int width, int height) {
  if (s.texture) SDL_DestroyTexture(s.texture);
  // Packed words with red in the low byte, whatever the byte order.
  s.texture = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_XBGR8888, SDL_TEXTUREACCESS_STREAMING,
                                width, height);
  if (!s.texture) return false;
  SDL_SetTextureBlendMode(s.texture, SDL_BLENDMODE_NONE);
  s.tex_width = width;
  s.tex_height = height;
  return true;
}

// Whether a window manager runs that makes windows fill the screen when asked (EWMH). On an X
// server without one, SDL's request goes unanswered.
bool manager_fills_screen() {
  if (!s.x11) return true;  // not X11: SDL's own way
  const Atom check = XInternAtom(s.x11, "_NET_SUPPORTING_WM_CHECK", True);
  if (check == 0) return false;
  Atom type = 0;
  int format = 0;
  unsigned long n = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(s.x11, DefaultRootWindow(s.x11), check, 0, 1, False,
                                        AnyPropertyType, &type, &format, &n, &after,
                                        &data) == 0 && n == 1;
  if (data) XFree(data);
  return found;
}

// F11: the window fills the screen, or is as it was before. The new size reaches the program
// as a line.
void toggle_full_screen() {
  if (manager_fills_screen()) {
    const bool full = (SDL_GetWindowFlags(s.window) & SDL_WINDOW_FULLSCREEN) != 0;
    SDL_SetWindowFullscreen(s.window, full ? 0 : SDL_WINDOW_FULLSCREEN_DESKTOP);
  } else if (!s.full) {
    SDL_Rect screen;
    if (SDL_GetDisplayBounds(std::max(0, SDL_GetWindowDisplayIndex(s.window)), &screen) != 0) return;
    SDL_GetWindowPosition(s.window, &s.before_full.x, &s.before_full.y);
    SDL_GetWindowSize(s.window, &s.before_full.w, &s.before_full.h);
    SDL_SetWindowBordered(s.window, SDL_FALSE);
    SDL_SetWindowPosition(s.window, screen.x, screen.y);
    SDL_SetWindowSize(s.window, screen.w, screen.h);
    s.full = true;
  } else {
    SDL_SetWindowBordered(s.window, SDL_TRUE);
    SDL_SetWindowSize(s.window, s.before_full.w, s.before_full.h);
    SDL_SetWindowPosition(s.window, s.before_full.x, s.before_full.y);
    s.full = false;
  }
  s.since.resized = true;
}

void handle(const SDL_Event& e) {
  switch (e.type) {
    case SDL_QUIT:
      s.since.quit = true;
      break;
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) s.since.quit = true;
      // The renderer's back buffer does not survive these: show the last picture again.
      if (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
          e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
        present();
      }
      if (e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) s.since.resized = true;
      break;
    case SDL_MOUSEBUTTONDOWN:
      if (e.button.button == SDL_BUTTON_RIGHT) s.since.quit = true;
      if (e.button.button < 4) s.since.pressed[e.button.button] = true;
      break;
    case SDL_MOUSEWHEEL: {
      const int y = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
      s.since.wheel += y;  // away from the user dives in
      break;
    }
    case SDL_KEYDOWN: {
      const bool ctrl = (e.key.keysym.mod & KMOD_CTRL) != 0;
      const bool shift = (e.key.keysym.mod & KMOD_SHIFT) != 0;
      switch (e.key.keysym.sym) {
        case SDLK_ESCAPE:
        case SDLK_q:
          s.since.quit = true;
          break;
        case SDLK_HOME:
          s.since.commands.push_back(CMD_HOME);
          break;
        case SDLK_RIGHTBRACKET:
          s.since.commands.push_back(CMD_MORE_ITERATIONS);
          break;
        case SDLK_LEFTBRACKET:
          s.since.commands.push_back(CMD_FEWER_ITERATIONS);
          break;
        case SDLK_BACKSPACE:
          s.since.commands.push_back(CMD_UNDO);
          break;
        case SDLK_z:
          if (ctrl) s.since.commands.push_back(shift ? CMD_REDO : CMD_UNDO);
          break;
        case SDLK_y:
          if (ctrl) s.since.commands.push_back(CMD_REDO);
          break;
        case SDLK_F11:
          toggle_full_screen();
          break;
        case SDLK_c:
          if (!ctrl) s.since.commands.push_back(NEXT_COLOURS);
          break;
        case SDLK_p:
          s.since.keys.push_back('P');
          break;
        case SDLK_l:
          s.since.keys.push_back('L');
          break;
        case SDLK_n:
          s.since.commands.push_back(CMD_MINIBROT);
          break;
        case SDLK_s:
          s.since.keys.push_back('S');
          break;
        case SDLK_PLUS:
        case SDLK_EQUALS:
        case SDLK_KP_PLUS:
          s.hooks.rate = std::min(s.hooks.rate * 1.25, s.hooks.max_rate);
          say_rate();
          break;
        case SDLK_MINUS:
        case SDLK_KP_MINUS:
          s.hooks.rate = std::max(s.hooks.rate / 1.25, s.hooks.min_rate);
          say_rate();
          break;
        default:
          break;
      }
      break;
    }
    default:
      break;
  }
}

// Takes in what the window system has to say.
void pump() {
  if (!s.window) return;
  SDL_Event e;
  while (SDL_PollEvent(&e)) handle(e);
  int dx = 0, dy = 0;
  SDL_GetRelativeMouseState(&dx, &dy);
  s.since.dx += dx;
  s.since.dy -= dy;  // MOUSEY counts upward
}

// Sleeps until the window system has something for us, or ms milliseconds (-1: no limit).
// On the X connection itself: SDL's own wait answers an event that comes meanwhile with a
// wake-up message to its window over a second connection, and when that event is the click
// that quits, the server may take the message after the window is gone (BadWindow, and
// Xlib's handler ends the program).
void wait_for_events(int ms) {
  if (s.x11 && XEventsQueued(s.x11, QueuedAfterFlush) == 0) {
    pollfd p{ConnectionNumber(s.x11), POLLIN, 0};
    poll(&p, 1, ms);  // a signal (SDL turns SIGTERM into a quit) ends it early too
  } else if (!s.x11) {
    SDL_Delay(static_cast<Uint32>(ms < 0 ? 10 : std::min(ms, 10)));
  }
  pump();
}

int down_now() {
  const Uint32 b = SDL_GetMouseState(nullptr, nullptr);
  return ((b & SDL_BUTTON_LMASK) ? 1 : 0) | ((b & SDL_BUTTON_MMASK) ? 2 : 0);
}

void do_keys() {
  while (!s.since.keys.empty()) {
    const char k = s.since.keys.front();
    s.since.keys.pop_front();
    if (s.hooks.key) s.hooks.key(k);
  }
}

// While a button is held, steps come at most hooks.rate a second. The wait takes in events
// (and keys that change the pace) and ends early for a quit.
void pace() {
  const auto gap = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(1.0 / s.hooks.rate));
  for (;;) {
    const auto left = s.last_step + gap - Clock::now();
    if (left <= Clock::duration::zero() || s.since.quit) break;
    wait_for_events(static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(left).count()));
  }
  s.last_step = Clock::now();
}

// The next line takes effect. At a stall (the program waits), nothing new is no line: sleep
// until there is something.
void take_line(bool stall) {
  pump();
  if (!stall && (s.buttons & 3) != 0) pace();
  for (;;) {
    do_keys();
    if (s.since.quit) {
      // What a script's end gives: the right button alone, the pointer at the centre.
      s.buttons = 4;
      s.mousex.set(640);
      s.mousey.set(512);
      return;
    }
    if (s.since.resized) {
      s.since.resized = false;
      int w = s.width, h = s.height;
      SDL_GetWindowSize(s.window, &w, &h);
      if (w != s.width || h != s.height) {
        const ScriptLine line{s.buttons, 0, 0, CMD_RESIZE, w, h};
        if (s.hooks.record && !s.hooks.record(line)) {
          s.since.quit = true;
          continue;
        }
        // Until the program has shown a picture of the new size, the old one is scaled.
        const int tw = s.tex_width, th = s.tex_height;
        if (!make_texture(w, h)) make_texture(tw, th);
        s.width = w;
        s.height = h;
        s.command = CMD_RESIZE;
        s.mousex.set(640);
        s.mousey.set(512);
        return;
      }
    }
    int now = down_now();
    if (s.since.pressed[SDL_BUTTON_LEFT]) now |= 1;
    if (s.since.pressed[SDL_BUTTON_MIDDLE]) now |= 2;
    // A button let go before a key goes first: the key must not find it still held, or the
    // loop would take one more step of the dive after the key, as a gesture of its own.
    const bool released = (s.buttons & 3 & ~now) != 0;
    if (!s.since.commands.empty() && !released) {
      int command = s.since.commands.front();
      s.since.commands.pop_front();
      if (command == NEXT_COLOURS) {
        // The line names where it goes, so that a replay needs no colouring of its own.
        s.hooks.colours = static_cast<int>(next_colours(static_cast<Colours>(s.hooks.colours)));
        command = CMD_COLOUR + s.hooks.colours;
      }
      if (s.hooks.record && !s.hooks.record(ScriptLine{s.buttons, 0, 0, command})) {
        s.since.quit = true;
        continue;
      }
      s.command = command;
      s.mousex.set(640);
      s.mousey.set(512);
      return;
    }
    int b = now;
    // A notch is a click: one step, and a line that lets go before the next notch, so that
    // each is a gesture of its own.
    const bool notch = s.since.wheel != 0 && !s.notch_taken;
    if (notch) b |= s.since.wheel > 0 ? 1 : 2;
    const bool news = b != s.buttons || s.since.dx != 0 || s.since.dy != 0;
    if (stall && !news) {
      wait_for_events(-1);
      continue;
    }
    if (notch) s.since.wheel += s.since.wheel > 0 ? -1 : 1;
    s.notch_taken = notch;
    s.buttons = b;
    s.mousex.set(640 + s.since.dx);
    s.mousey.set(512 + s.since.dy);
    s.since.dx = s.since.dy = 0;
    std::fill(std::begin(s.since.pressed), std::end(s.since.pressed), false);
    if (s.hooks.record &&
        !s.hooks.record(ScriptLine{s.buttons, s.mousex.value - 640, s.mousey.value - 512})) {
      s.since.quit = true;  // the quit's state replaces the line's
      continue;
    }
    return;
  }
}

void read_tick() {
  if (s.live && s.clock.read()) take_line(true);
}

// Real screens only: where none can be opened, SDL would fall back to drawing into memory
// nobody sees, and the program would wait for input that can never come.
bool init_video(std::string& err) {
  if (const char* forced = SDL_getenv("SDL_VIDEODRIVER"); forced && *forced) {
    if (SDL_Init(SDL_INIT_VIDEO) == 0) return true;
    err = SDL_GetError();
    return false;
  }
  const char* display = SDL_getenv("DISPLAY");
  const char* wayland = SDL_getenv("WAYLAND_DISPLAY");
  for (int i = 0; i < SDL_GetNumVideoDrivers(); ++i) {
    const std::string name = SDL_GetVideoDriver(i);
    if (name == "offscreen" || name == "dummy" || name == "evdev") continue;
    if (name == "wayland" && !wayland) continue;  // its library complains on stderr
    SDL_SetHint(SDL_HINT_VIDEODRIVER, name.c_str());
    if (SDL_Init(SDL_INIT_VIDEO) == 0) return true;
  }
  if (!display && !wayland) {
    err = "no display (DISPLAY is not set)";
  } else {
    err = std::string("no display answers at ") + (display ? "DISPLAY=" : "WAYLAND_DISPLAY=") +
          (display ? display : wayland);
  }
  return false;
}

void sdl_prefposition(int x1, int x2, int y1, int y2) {
  s.has_pos = true;
  s.posx1 = x1;
  s.posy2 = y2;
  s.width = x2 - x1 + 1;
  s.height = y2 - y1 + 1;
}

void sdl_minsize(int width, int height) {
  s.min_width = width;
  s.min_height = height;
}

int sdl_winopen(const char* title) {
  SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
  if (!init_video(s.error)) return -1;
  int x = SDL_WINDOWPOS_CENTERED, y = SDL_WINDOWPOS_CENTERED;
  SDL_Rect screen;
  if (s.has_pos && SDL_GetDisplayBounds(0, &screen) == 0) {
    // The asked place is the centre of a 1280 x 1024 screen; keep it centred on another size.
    x = screen.x + std::max(0, s.posx1 + (screen.w - 1280) / 2);
    y = screen.y + std::max(0, (1023 - s.posy2) + (screen.h - 1024) / 2);
  }
  s.window = SDL_CreateWindow(title, x, y, s.width, s.height, SDL_WINDOW_RESIZABLE);
  if (s.window) {
    s.renderer = SDL_CreateRenderer(s.window, -1, 0);
    if (!s.renderer) s.renderer = SDL_CreateRenderer(s.window, -1, SDL_RENDERER_SOFTWARE);
  }
  if (!s.renderer || !make_texture(s.width, s.height)) {
    s.error = SDL_GetError();
    if (s.renderer) SDL_DestroyRenderer(s.renderer);
    if (s.window) SDL_DestroyWindow(s.window);
    s.renderer = nullptr;
    s.window = nullptr;
    SDL_Quit();
    return -1;
  }
  SDL_SetWindowMinimumSize(s.window, s.min_width, s.min_height);
  // Relative mode keeps the pointer in the window while the user steers. Where it is not
  // available the valuators still follow the pointer's motion.
  SDL_SetRelativeMouseMode(SDL_TRUE);
  SDL_GetRelativeMouseState(nullptr, nullptr);  // motion before the window counts for nothing
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(s.window, &info) && info.subsystem == SDL_SYSWM_X11) {
    s.x11 = info.info.x11.display;
  }
  return 1;
}

void sdl_wintitle(const char* title) {
  if (s.window) SDL_SetWindowTitle(s.window, title);
}

void sdl_getsize(int* width, int* height) {
  *width = s.width;
  *height = s.height;
}

void sdl_cursoff() { SDL_ShowCursor(SDL_DISABLE); }

void sdl_clear(std::uint32_t colour) {
  if (!s.texture) return;
  const std::vector<std::uint32_t> words(static_cast<std::size_t>(s.tex_width) * s.tex_height,
                                         colour);
  SDL_UpdateTexture(s.texture, nullptr, words.data(), s.tex_width * 4);
  present();
}

void sdl_lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray) {
  s.clock.write();
  if (!s.texture) return;
  // The texture keeps the words' bottom-up row order; present() flips it.
  const SDL_Rect r = {x1, y1, x2 - x1 + 1, y2 - y1 + 1};
  const SDL_Rect all = {0, 0, s.tex_width, s.tex_height};
  SDL_Rect clip;
  if (r.w <= 0 || r.h <= 0 || !SDL_IntersectRect(&r, &all, &clip)) return;
  const std::uint32_t* first = parray + (clip.y - r.y) * r.w + (clip.x - r.x);
  SDL_UpdateTexture(s.texture, &clip, first, r.w * 4);
  present();
}

int sdl_getbutton(int dev) {
  read_tick();
  if (dev < RIGHTMOUSE || dev > LEFTMOUSE) return 0;
  const int bit = dev == LEFTMOUSE ? 1 : dev == MIDDLEMOUSE ? 2 : 4;
  return (s.buttons & bit) != 0 ? 1 : 0;
}

int sdl_getvaluator(int dev) {
  read_tick();
  if (dev == MOUSEX) return s.mousex.value;
  if (dev == MOUSEY) return s.mousey.value;
  return 0;
}

void sdl_setvaluator(int dev, short value, short vmin, short vmax) {
  Valuator* v = dev == MOUSEX ? &s.mousex : dev == MOUSEY ? &s.mousey : nullptr;
  if (v) {
    v->vmin = vmin;
    v->vmax = vmax;
    v->set(value);
  }
  if (s.live && s.clock.warp(dev)) take_line(false);
}

int sdl_command(bool take) {
  const int c = s.command;
  if (take) s.command = NO_COMMAND;
  return c;
}

int sdl_interrupted() {
  pump();
  // P and S answer at once, also in the middle of a long picture: the view is whole there.
  do_keys();
  if (s.since.quit) return INTERRUPT_QUIT;
  if (s.since.pressed[SDL_BUTTON_LEFT] || s.since.pressed[SDL_BUTTON_MIDDLE] ||
      s.since.wheel != 0) {
    return INTERRUPT_PRESS;
  }
  return NO_INTERRUPT;
}

void sdl_gexit() {
  if (s.texture) SDL_DestroyTexture(s.texture);
  if (s.renderer) SDL_DestroyRenderer(s.renderer);
  if (s.window) SDL_DestroyWindow(s.window);
  if (s.window) SDL_Quit();
  s = SdlState{};
}

const char* sdl_error() { return s.error.c_str(); }

const GfxBackend backend = {
    "sdl2",         sdl_prefposition, sdl_minsize,     sdl_winopen, sdl_wintitle,
    sdl_getsize,    sdl_cursoff,      sdl_clear,       sdl_lrectwrite,
    sdl_getbutton,  sdl_getvaluator,  sdl_setvaluator, sdl_gexit,   sdl_error,
    sdl_gexit,      sdl_command,      sdl_interrupted,
};

}  // namespace

const GfxBackend* sdl_backend() { return &backend; }

bool sdl_screen_size(int& width, int& height, std::string& err) {
  if (!SDL_WasInit(SDL_INIT_VIDEO) && !init_video(err)) return false;
  SDL_Rect screen;
  if (SDL_GetDisplayBounds(0, &screen) != 0) {
    err = SDL_GetError();
    return false;
  }
  width = screen.w;
  height = screen.h;
  return true;
}

void sdl_live(const LiveInput& hooks) {
  s.hooks = hooks;
  s.live = true;
  s.clock = LineClock{};
  pump();
  s.since = Since{};  // what happened before the session starts counts for nothing
}

}  // namespace zd
