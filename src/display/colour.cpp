// colour.cpp — the colour ramp and the window's set-up.
#include "display/display.h"
#include "platform/gfx.h"

namespace zd {

void build_coltab(std::uint32_t* coltab) {
  std::uint8_t level[256][3] = {};  // entry 0 stays black
  const std::uint8_t* chan[3] = {rtab, gtab, btab};
  for (int s = 1; s < 13; ++s) {
    const int o0 = otab[s - 1];
    const int n = otab[s] - o0;
    if (n <= 0) continue;
    for (int k = 0; k <= n; ++k) {
      const double t = static_cast<double>(k) / static_cast<double>(n);
      for (int ch = 0; ch < 3; ++ch) {
        const int c0 = chan[ch][s - 1];
        const int c1 = chan[ch][s];
        // Truncation, not rounding: entry 2 is (29, 38, 22) before scaling, not (29, 39, 22).
        level[o0 + k][ch] = static_cast<std::uint8_t>(static_cast<int>(static_cast<double>(c1 - c0) * t + c0));
      }
    }
  }
  for (int j = 0; j < 256; ++j) {
    const std::uint32_t r = static_cast<std::uint8_t>(level[j][0] << 2);
    const std::uint32_t g = static_cast<std::uint8_t>(level[j][1] << 2);
    const std::uint32_t b = static_cast<std::uint8_t>(level[j][2] << 2);
    coltab[j] = r | g << 8 | b << 16;
  }
}

int graphic(std::uint32_t* coltab, int width, int height) {
  build_coltab(coltab);
  // Centred on a 1280 x 1024 screen, around where start-up puts the pointer: 480 x 360 covers
  // columns 400 to 879 and rows 332 to 691.
  const int x1 = (1280 - width) / 2, y1 = (1024 - height) / 2;
  prefposition(x1, x1 + width - 1, y1, y1 + height - 1);
  minsize(MIN_PICTURE_W, MIN_PICTURE_H);
  foreground();
  if (winopen("zoomdive") < 0) return -1;
  cursoff();
  RGBmode();
  gconfig();
  cpack(0);
  clear();
  return 0;
}

}  // namespace zd
