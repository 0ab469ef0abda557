// picture.h — a picture as a value: its size, its words and the canvas the band walk fills; and
// the colour word of an escape count.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "compute/walk.h"

namespace zd {

// The design's window: the default picture, and the only one whose points the walk takes from
// its running sums (so that its pictures stay the design's to the last bit). The view's 4:3
// half-extents, the pointer grid and the rule of when doubles suffice are measured at it.
constexpr int DESIGN_W = 480, DESIGN_H = 360;

// The smallest window, and the largest side of any picture.
constexpr int MIN_PICTURE_W = 64, MIN_PICTURE_H = 48;
constexpr int MAX_PICTURE_SIDE = 65536;

// Pixel words, row 0 at the bottom, row r column c at words[r * stride + c] (red in the low
// byte). The walk covers `stride` columns, the width made even (an odd picture's extra column
// is walked, never shown), and reads a little above the last row and past the last column: the
// words hold that reach too, zero until a store.
struct Picture {
  int width = 0, height = 0;
  int stride = 0;
  std::vector<std::uint32_t> words;

  Picture() = default;
  Picture(int w, int h) { resize(w, h); }
  // Another size, every word zero.
  void resize(int w, int h) {
    width = w;
    height = h;
    stride = w + (w & 1);
    words.assign(walk_words(h, stride), 0);
  }
  std::uint32_t* row(int r) { return words.data() + static_cast<std::size_t>(r) * stride; }
  const std::uint32_t* row(int r) const {
    return words.data() + static_cast<std::size_t>(r) * stride;
  }
  // What the walk sees, with the picture's columns left .. right-1.
  Canvas canvas(int left, int right) {
    return Canvas{words.data(), stride, left, right, words.size()};
  }
  // The shown pixels, width words a row, bottom row first: their colours alone (a word's top
  // byte is the walk's, see Colouring::word).
  std::vector<std::uint32_t> shown() const {
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>(width) * height);
    for (int r = 0; r < height; ++r) {
      for (const std::uint32_t* w = row(r); w != row(r) + width; ++w) out.push_back(*w & 0xffffffu);
    }
    return out;
  }
  // Whether the walk's points are its running sums, as the design computes them; every other
  // size takes each point from its row and column, whose rounding does not grow along a row.
  bool running_sums() const { return width == DESIGN_W && height == DESIGN_H; }
};

// The colour word of a point that escaped after n steps: entry (limit - n) mod 256 of the
// table, so that points inside (n = limit) are entry 0, black.
inline std::uint32_t colour_of(const std::uint32_t* coltab, int n, int limit) {
  return coltab[(static_cast<unsigned>(limit) - static_cast<unsigned>(n)) & 255u];
}

}  // namespace zd
