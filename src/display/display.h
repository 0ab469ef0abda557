// display.h — the window set-up, the colour ramp and the logo.
#pragma once
#include <array>
#include <cstdint>

namespace zd {

// Control points of the colour ramp: table positions and 6-bit red, green, blue levels.
inline constexpr int otab[13] = {1, 22, 44, 66, 88, 110, 132, 154, 176, 198, 220, 242, 255};
inline constexpr std::uint8_t rtab[13] = {30, 18, 63, 20, 50, 30, 63, 30, 30, 63, 60, 30, 30};
inline constexpr std::uint8_t gtab[13] = {40, 10, 50, 63, 8, 30, 10, 50, 30, 63, 8, 60, 40};
inline constexpr std::uint8_t btab[13] = {20, 63, 5, 30, 63, 30, 8, 10, 63, 63, 40, 7, 20};

// Fills mycoltab from the control points; entry 0 is black.
void build_coltab();
// Builds the colour table, then opens the window, black. Returns -1 if the window cannot open.
int graphic();

// The logo bitmap, XBM layout: 21 rows of 16 bytes, top row first, least significant bit
// first; a set bit is background.
constexpr int LOGO_BYTES = 21 * 16;
extern const std::array<std::uint8_t, LOGO_BYTES> snap_bits;
inline constexpr int zpot[8] = {1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::uint32_t LOGO_COLOUR = 0xffff0000u;
// Converts a bitmap into a 124 x 21 logo block, bottom row first, 0 transparent.
void build_logo(const std::uint8_t* bits, std::uint32_t* block);

}  // namespace zd
