// sdl.cpp — the SDL2 backend: one window showing packed pixel words, and the mouse as polled
// devices. The pointer is a relative device: SDL's relative mode keeps it inside the window and
// hidden, and the MOUSEX/MOUSEY valuators move by its motion in screen pixels.
#include "platform/sdl.h"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace zd {

namespace {

constexpr int PICW = 480, PICH = 360;
// The idle wait polls without pause. After this many reads in a row that answer the same, with
// no window write and no warp that moved a valuator, the program is waiting for the user: a
// read then sleeps IDLE_WAIT_MS before it looks.
constexpr int IDLE_READS = 300;
constexpr int IDLE_WAIT_MS = 5;

struct Valuator {
  int value = 0, vmin = 0, vmax = 0;
  void move(int d) { value = std::clamp(value + d, vmin, std::max(vmin, vmax)); }
};

struct SdlState {
  bool has_pos = false;
  int posx1 = 0, posy2 = 0;  // prefposition: left column and top row, from the bottom-left

  SDL_Window* window = nullptr;
  SDL_Renderer* renderer = nullptr;
  SDL_Texture* texture = nullptr;  // the window's words; row 0 at the bottom, shown flipped
  std::string error;

  Valuator mousex, mousey;
  // The window closed, Esc, Q or a right click: the right button reads as down from then on,
  // so that a click shorter than a loop step still ends the program.
  bool quit = false;
  // Left or middle pressed since the last warp or window write: a click shorter than a loop
  // step still reads as held for the step that sees it.
  bool pressed[4] = {};

  int same_reads = 0;   // reads in a row that answered what the same device answered before
  int last[5] = {-1, -1, -1, -1, -1};  // last answer per device: buttons 101..103, MOUSEX, MOUSEY
};
SdlState s;

void present() {
  if (!s.renderer) return;
  int w = PICW, h = PICH;
  SDL_GetRendererOutputSize(s.renderer, &w, &h);
  // Nearest-neighbour scaling to fill the window, aspect kept, black bars around.
  const double scale = std::min(static_cast<double>(w) / PICW, static_cast<double>(h) / PICH);
  const int dw = static_cast<int>(std::lround(PICW * scale));
  const int dh = static_cast<int>(std::lround(PICH * scale));
  const SDL_Rect dst = {(w - dw) / 2, (h - dh) / 2, dw, dh};
  SDL_SetRenderDrawColor(s.renderer, 0, 0, 0, 255);
  SDL_RenderClear(s.renderer);
  SDL_RenderCopyEx(s.renderer, s.texture, nullptr, &dst, 0.0, nullptr, SDL_FLIP_VERTICAL);
  SDL_RenderPresent(s.renderer);
}

void handle(const SDL_Event& e) {
  switch (e.type) {
    case SDL_QUIT:
      s.quit = true;
      break;
    case SDL_WINDOWEVENT:
      if (e.window.event == SDL_WINDOWEVENT_CLOSE) s.quit = true;
      // The renderer's back buffer does not survive these: show the last picture again.
      if (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
          e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED) {
        present();
      }
      break;
    case SDL_MOUSEBUTTONDOWN:
      if (e.button.button == SDL_BUTTON_RIGHT) s.quit = true;
      if (e.button.button < 4) s.pressed[e.button.button] = true;
      break;
    case SDL_KEYDOWN:
      if (e.key.keysym.sym == SDLK_ESCAPE || e.key.keysym.sym == SDLK_q) s.quit = true;
      break;
    default:
      break;
  }
}

// Takes in what the window system has to say before a device is read.
void pump() {
  if (!s.window) return;
  // A plain sleep, not SDL_WaitEventTimeout: SDL 2 answers an event that comes during that wait
  // with a wake-up message to its own window over a second X connection. When the event is the
  // click that quits, the server may take the message after the window is destroyed, and the
  // error ends the program with status 1.
  if (s.same_reads >= IDLE_READS) SDL_Delay(IDLE_WAIT_MS);
  SDL_Event e;
  while (SDL_PollEvent(&e)) handle(e);
  int dx = 0, dy = 0;
  SDL_GetRelativeMouseState(&dx, &dy);
  s.mousex.move(dx);
  s.mousey.move(-dy);  // MOUSEY counts upward
}

int answer(int slot, int v) {
  if (v == s.last[slot]) {
    if (s.same_reads < IDLE_READS) ++s.same_reads;
  } else {
    s.same_reads = 0;
    s.last[slot] = v;
  }
  return v;
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

void sdl_prefposition(int x1, int /*x2*/, int /*y1*/, int y2) {
  s.has_pos = true;
  s.posx1 = x1;
  s.posy2 = y2;
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
  s.window = SDL_CreateWindow(title, x, y, PICW, PICH, SDL_WINDOW_RESIZABLE);
  if (s.window) {
    s.renderer = SDL_CreateRenderer(s.window, -1, 0);
    if (!s.renderer) s.renderer = SDL_CreateRenderer(s.window, -1, SDL_RENDERER_SOFTWARE);
  }
  // Packed words with red in the low byte, whatever the byte order.
  if (s.renderer) {
    s.texture = SDL_CreateTexture(s.renderer, SDL_PIXELFORMAT_XBGR8888,
                                  SDL_TEXTUREACCESS_STREAMING, PICW, PICH);
  }
  if (!s.texture) {
    s.error = SDL_GetError();
    if (s.renderer) SDL_DestroyRenderer(s.renderer);
    if (s.window) SDL_DestroyWindow(s.window);
    s.renderer = nullptr;
    s.window = nullptr;
    SDL_Quit();
    return -1;
  }
  SDL_SetTextureBlendMode(s.texture, SDL_BLENDMODE_NONE);
  SDL_SetWindowMinimumSize(s.window, PICW / 4, PICH / 4);
  // Relative mode keeps the pointer in the window while the user steers. Where it is not
  // available the valuators still follow the pointer's motion.
  SDL_SetRelativeMouseMode(SDL_TRUE);
  SDL_GetRelativeMouseState(nullptr, nullptr);  // motion before the window counts for nothing
  return 1;
}

void sdl_cursoff() { SDL_ShowCursor(SDL_DISABLE); }

void sdl_clear(std::uint32_t colour) {
  if (!s.texture) return;
  const std::vector<std::uint32_t> words(static_cast<std::size_t>(PICW) * PICH, colour);
  SDL_UpdateTexture(s.texture, nullptr, words.data(), PICW * 4);
  present();
}

void sdl_lrectwrite(int x1, int y1, int x2, int y2, const std::uint32_t* parray) {
  s.same_reads = 0;
  std::fill(std::begin(s.pressed), std::end(s.pressed), false);
  if (!s.texture) return;
  // The texture keeps the words' bottom-up row order; present() flips it.
  const SDL_Rect r = {x1, y1, x2 - x1 + 1, y2 - y1 + 1};
  const SDL_Rect all = {0, 0, PICW, PICH};
  SDL_Rect clip;
  if (r.w <= 0 || r.h <= 0 || !SDL_IntersectRect(&r, &all, &clip)) return;
  const std::uint32_t* first = parray + (clip.y - r.y) * r.w + (clip.x - r.x);
  SDL_UpdateTexture(s.texture, &clip, first, r.w * 4);
  present();
}

int sdl_getbutton(int dev) {
  pump();
  const int sdl = dev == LEFTMOUSE     ? SDL_BUTTON_LEFT
                  : dev == MIDDLEMOUSE ? SDL_BUTTON_MIDDLE
                  : dev == RIGHTMOUSE  ? SDL_BUTTON_RIGHT
                                       : 0;
  if (sdl == 0) return 0;
  const Uint32 b = s.window ? SDL_GetMouseState(nullptr, nullptr) : 0;
  const bool down =
      (b & SDL_BUTTON(sdl)) != 0 || s.pressed[sdl] || (sdl == SDL_BUTTON_RIGHT && s.quit);
  return answer(dev - RIGHTMOUSE, down ? 1 : 0);
}

int sdl_getvaluator(int dev) {
  pump();
  if (dev == MOUSEX) return answer(3, s.mousex.value);
  if (dev == MOUSEY) return answer(4, s.mousey.value);
  return 0;
}

void sdl_setvaluator(int dev, short value, short vmin, short vmax) {
  std::fill(std::begin(s.pressed), std::end(s.pressed), false);
  Valuator* v = dev == MOUSEX ? &s.mousex : dev == MOUSEY ? &s.mousey : nullptr;
  if (!v) return;
  // Motion not yet taken in happened before the warp.
  pump();
  const Valuator warped = {std::clamp<int>(value, vmin, std::max<int>(vmin, vmax)), vmin, vmax};
  // A warp that moves nothing (a drag held at rest re-centres a pointer already centred) is no
  // sign of activity: the program still waits for the user.
  if (warped.value != v->value) s.same_reads = 0;
  *v = warped;
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
    "sdl2",        sdl_prefposition, sdl_winopen,     sdl_cursoff, sdl_clear, sdl_lrectwrite,
    sdl_getbutton, sdl_getvaluator,  sdl_setvaluator, sdl_gexit,   sdl_error,
};

}  // namespace

const GfxBackend* sdl_backend() { return &backend; }

}  // namespace zd
