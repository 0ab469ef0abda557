// png_rows.h — a PNG written a few rows at a time, for pictures too large to hold whole.
#pragma once
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace zd {

// An 8-bit RGB PNG, top row first, written to a stream as its rows come.
class PngRows {
 public:
  PngRows() = default;
  ~PngRows();
  PngRows(const PngRows&) = delete;
  PngRows& operator=(const PngRows&) = delete;

  // Each returns "" or what went wrong; after a failure the PNG is abandoned.
  std::string begin(std::FILE* f, int width, int height);
  std::string rows(const std::uint8_t* rgb, int n);  // n rows of width x 3 bytes
  std::string end();                                 // after every row

 private:
  std::string failure();

  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  int width_ = 0;
  char message_[200] = {};
};

}  // namespace zd
