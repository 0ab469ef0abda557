// test_colouring.cpp — colourings: the design's table, smooth and distance colours, palette files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "display/colouring.h"

namespace zd::test {
namespace {

namespace fs = std::filesystem;

std::uint32_t word(Rgb c) { return c.r | c.g << 8 | c.b << 16; }

// Black where a count reaches the limit and nowhere else; an escaping point's colour is a
// function of its continuous count and distance, not of the limit; the design's colouring is its
// table, (limit - n) mod 256.
TEST(Colouring, BlackOnlyAtTheLimitAndTheSameAtAnyLimit) {
  std::uint32_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint32_t>(i * 0x010203);
  const Colouring design(Colours::Design, table);
  EXPECT_EQ(design.colour(40, 300, 0, 0), table[4]);
  EXPECT_EQ(design.colour(300, 300, 0, 0), table[0]);
  // A palette that holds black itself: escaping points still are never black.
  Palette dark{{{0, 0, 0}, {0, 0, 0}, {255, 255, 255}}, ""};
  for (const Colours kind : {Colours::Smooth, Colours::Distance}) {
    for (const Palette& pal : {Palette::builtin(), dark}) {
      const Colouring c(kind, table, pal);
      EXPECT_EQ(c.colour(1000, 1000, 1000.0, 0.0), 0u);
      EXPECT_EQ(c.colour(7, 1, 1.0, 0.0), 0u) << "a limit below 1 is 1";
      int black = 0;
      for (double nu = -3.0; nu < 5000.0; nu = nu * 1.001 + 0.013) {
        for (const double de : {0.0, 1e-9, 0.3, 5.0}) {
          const std::uint32_t w = c.colour(static_cast<int>(nu) + 1, 100000, nu, de);
          black += w == 0;
          ASSERT_EQ(w, c.colour(static_cast<int>(nu) + 1, 200000, nu, de)) << "the limit changed the colour";
          ASSERT_EQ(w >> 24, 0u);
        }
      }
      EXPECT_EQ(black, 0) << colours_name(kind);
    }
  }
  // One colour: every escaping point has it (as far from the set as shading allows).
  const Colouring one(Colours::Smooth, table, Palette{{{200, 100, 50}}, ""});
  for (const double nu : {0.5, 3.7, 1234.5, 1e6}) EXPECT_NEAR(static_cast<double>(one.colour(0, 10, nu, 9) & 255), 200, 23);
}

// Distance shading darkens towards the set: nearer is never brighter.
TEST(Colouring, DistanceShadesTowardsTheSet) {
  const Colouring c(Colours::Distance, nullptr);
  const auto level = [&](double de) {
    const std::uint32_t w = c.colour(5, 100, 700.0, de);
    return (w & 255) + (w >> 8 & 255) + (w >> 16 & 255);
  };
  EXPECT_LT(level(0.01), level(0.5));
  EXPECT_LT(level(0.5), level(1.5));
  EXPECT_EQ(level(2.0), level(50.0));
}

// Palette files: one #rrggbb a line, blank lines and blanks around a colour allowed; anything
// else names the file, the line and what is wrong.
TEST(Colouring, PaletteFilesAndTheirErrors) {
  const fs::path dir = fs::temp_directory_path() / ("zd-palette-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const auto file = [&](const std::string& text) {
    const fs::path p = dir / "p.txt";
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  };
  std::string err;
  const auto good = read_palette(file("#000000\n\n  #FF8000 \r\n#0a0B0c"), err);
  ASSERT_TRUE(good) << err;
  ASSERT_EQ(good->colours.size(), 3u);
  EXPECT_EQ(word(good->colours[1]), 0x0080ffu);
  EXPECT_EQ(word(good->colours[2]), 0x0c0b0au);
  EXPECT_EQ(good->file, dir / "p.txt");
  const struct {
    const char* text;
    const char* message;  // after "FILE:"
  } bad[] = {
      {"#000000\nred\n", "2: not a colour as #rrggbb"}, {"#00000\n", "1: not a colour"},
      {"#0000000\n", "1: not a colour"},                {"# 00000\n", "1: not a colour"},
      {"#00000g\n", "1: not a colour"},                 {"\n\n", "2: no colours"},
      {"", "0: no colours"},                            {"#123456 #654321\n", "1: not a colour"},
  };
  for (const auto& b : bad) {
    const std::string path = file(b.text);
    EXPECT_FALSE(read_palette(path, err)) << b.text;
    EXPECT_EQ(err.rfind(path + ":" + b.message, 0), 0u) << err;
  }
  EXPECT_FALSE(read_palette((dir / "none.txt").string(), err));
  EXPECT_EQ(err.rfind((dir / "none.txt").string() + ":", 0), 0u) << err;
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zd::test
