// test_display.cpp — the logo bitmap and block.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "control/view.h"
#include "display/display.h"

namespace zd::test {
namespace {

std::vector<std::uint32_t> block_of(const std::array<std::uint8_t, LOGO_BYTES>& bits) {
  std::vector<std::uint32_t> block(LOGOW * LOGOH, 0x5a5a5a5a);
  build_logo(bits.data(), block.data());
  return block;
}

TEST(Logo, SetBitsAreTransparentClearBitsDrawn) {
  std::array<std::uint8_t, LOGO_BYTES> bits;
  bits.fill(0xff);
  for (std::uint32_t w : block_of(bits)) ASSERT_EQ(w, 0u);
  bits.fill(0x00);
  for (std::uint32_t w : block_of(bits)) ASSERT_EQ(w, LOGO_COLOUR);
}

TEST(Logo, BitmapRowsRunDownwardBlockRowsUpward) {
  std::array<std::uint8_t, LOGO_BYTES> bits;
  bits.fill(0xff);
  bits[0 * 16 + 0] &= ~1;        // bitmap row 0, pixel 0: bit 0 of the first byte
  bits[20 * 16 + 0] &= ~128;     // bitmap row 20, pixel 7: bit 7
  bits[5 * 16 + 1] &= ~1;        // bitmap row 5, pixel 8: bit 0 of the second byte
  bits[5 * 16 + 15] &= ~8;       // bitmap row 5, pixel 123: the last one read
  bits[6 * 16 + 15] &= ~0xf0;    // bits past pixel 123 are never read
  const auto block = block_of(bits);
  std::vector<std::uint32_t> expect(LOGOW * LOGOH, 0);
  expect[20 * LOGOW + 0] = LOGO_COLOUR;
  expect[0 * LOGOW + 7] = LOGO_COLOUR;
  expect[15 * LOGOW + 8] = LOGO_COLOUR;
  expect[15 * LOGOW + 123] = LOGO_COLOUR;
  EXPECT_EQ(block, expect);
}

TEST(Logo, OwnBitmapDrawsOnlyWhereTheWindowShowsIt) {
  const auto block = block_of(snap_bits);
  int drawn = 0;
  for (int d = 0; d < LOGOH; ++d) {
    for (int x = 0; x < LOGOW; ++x) {
      if (block[d * LOGOW + x] == 0) continue;
      ++drawn;
      EXPECT_TRUE(d >= 2 && d <= 19) << "block row " << d << " never reaches the window";
    }
  }
  EXPECT_GT(drawn, 300) << "a legible word needs ink";
  EXPECT_LT(drawn, LOGOW * 18 / 2) << "and must not hide the picture";
}

}  // namespace
}  // namespace zd::test
