// display.h — the window set-up, the colour ramp, the logo and showing a picture.
#pragma once
#include <array>
#include <cstdint>
#include <vector>

#include "compute/picture.h"

namespace zd {

// Control points of the colour ramp: table positions and 6-bit red, green, blue levels.
inline constexpr int otab[13] = {1, 22, 44, 66, 88, 110, 132, 154, 176, 198, 220, 242, 255};
inline constexpr std::uint8_t rtab[13] = {30, 18, 63, 20, 50, 30, 63, 30, 30, 63, 60, 30, 30};
inline constexpr std::uint8_t gtab[13] = {40, 10, 50, 63, 8, 30, 10, 50, 30, 63, 8, 60, 40};
inline constexpr std::uint8_t btab[13] = {20, 63, 5, 30, 63, 30, 8, 10, 63, 63, 40, 7, 20};

// Fills the 256 entries of coltab (mycoltab) from the control points; entry 0 is black.
void build_coltab(std::uint32_t* coltab);
// Builds the colour table, then opens the width x height window in the middle of the screen,
// black. Returns -1 if the window cannot open.
int graphic(std::uint32_t* coltab, int width, int height);

// The logo bitmap, XBM layout: 21 rows of 16 bytes, top row first, least significant bit
// first; a set bit is background.
constexpr int LOGO_BYTES = 21 * 16;
extern const std::array<std::uint8_t, LOGO_BYTES> snap_bits;
inline constexpr int zpot[8] = {1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::uint32_t LOGO_COLOUR = 0xffff0000u;
constexpr int LOGOW = 124, LOGOH = 21;  // the block: bottom row first, 0 transparent
// Converts a bitmap into a LOGOW x LOGOH logo block.
void build_logo(const std::uint8_t* bits, std::uint32_t* block);

// Copies the shown pixels of screen into screenbak (width x height words, bottom row first),
// stamps the logo's rows 2 to 19 into its bottom-right corner, as much of them as the picture
// has room for, and writes the window.
void show(const Picture& screen, std::vector<std::uint32_t>& screenbak,
          const std::uint32_t* snap_long);

}  // namespace zd
