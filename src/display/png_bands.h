// png_bands.h — a PNG made in parts: each band of rows filtered and deflated on its own, in any
// thread, and the parts written in order; for pictures too large to hold whole and too slow to
// compress in one thread.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zd {

// Filters and deflates `rows` rows of width x 3 bytes (8-bit RGB) into bytes: a run of deflate
// blocks that ends on a byte boundary, the final one only if `last` (the picture's last band).
// adler and length are the Adler-32 and the size of the data before deflating.
void png_encode(const std::uint8_t* rgb, int rows, int width, bool last,
                std::vector<std::uint8_t>& bytes, std::uint32_t& adler, std::uint64_t& length);

// The PNG itself: header, the parts as image data in order, the end.
class PngParts {
 public:
  explicit PngParts(std::FILE* f) : f_(f) {}
  // Each returns "" or why the stream did not take it.
  // text: a tEXt chunk after the header, keyword, a NUL, then text; none when text is empty.
  std::string begin(int width, int height, const std::string& keyword = "", const std::string& text = "");
  std::string part(const std::vector<std::uint8_t>& bytes, std::uint32_t adler, std::uint64_t length);
  std::string end();

 private:
  std::string chunk(const char type[4], const std::uint8_t* data, std::size_t n);

  std::FILE* f_;
  std::uint32_t adler_ = 1;  // of all the data so far
};

}  // namespace zd
