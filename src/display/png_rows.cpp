// png_rows.cpp — libpng's row-by-row writing, its longjmp errors turned into messages.
#include "display/png_rows.h"

#include <cerrno>
#include <csetjmp>
#include <cstring>

namespace zd {

namespace {

// libpng reports through these; the longjmp then lands in the method that called it.
void on_error(png_structp png, png_const_charp msg) {
  char* to = static_cast<char*>(png_get_error_ptr(png));
  std::snprintf(to, 200, "%s", msg);
  png_longjmp(png, 1);
}
void on_warning(png_structp, png_const_charp) {}

}  // namespace

PngRows::~PngRows() {
  if (png_) png_destroy_write_struct(&png_, &info_);
}

std::string PngRows::failure() {
  // libpng names a stream's failure only as a write error: errno has the reason.
  const int e = errno;
  std::string why = e != 0 ? std::strerror(e) : message_;
  png_destroy_write_struct(&png_, &info_);
  png_ = nullptr;
  info_ = nullptr;
  return why.empty() ? "PNG encoding failed" : why;
}

std::string PngRows::begin(std::FILE* f, int width, int height) {
  errno = 0;
  png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, message_, on_error, on_warning);
  if (!png_) return "cannot start a PNG";
  info_ = png_create_info_struct(png_);
  if (!info_ || setjmp(png_jmpbuf(png_))) return failure();
  width_ = width;
  png_init_io(png_, f);
  png_set_IHDR(png_, info_, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png_, info_);
  return "";
}

std::string PngRows::rows(const std::uint8_t* rgb, int n) {
  if (!png_) return "the PNG was abandoned";
  errno = 0;
  if (setjmp(png_jmpbuf(png_))) return failure();
  for (int i = 0; i < n; ++i) {
    png_write_row(png_, rgb + static_cast<std::size_t>(i) * width_ * 3);
  }
  return "";
}

std::string PngRows::end() {
  if (!png_) return "the PNG was abandoned";
  errno = 0;
  if (setjmp(png_jmpbuf(png_))) return failure();
  png_write_end(png_, nullptr);
  png_destroy_write_struct(&png_, &info_);
  png_ = nullptr;
  info_ = nullptr;
  return "";
}

}  // namespace zd
