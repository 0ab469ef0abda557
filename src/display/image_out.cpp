// image_out.cpp — the window as PNG bytes or raw words, into any stream.
#include "display/image_out.h"

#include <png.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zd {

std::string png_to(std::FILE* f, const std::uint32_t* window, int W, int H, const std::string& keyword,
                   const std::string& text) {
  std::vector<unsigned char> rgb(static_cast<std::size_t>(W) * H * 3);
  for (int y = 0; y < H; ++y) {
    const std::uint32_t* src = window + static_cast<std::size_t>(H - 1 - y) * W;  // top row first
    unsigned char* dst = rgb.data() + static_cast<std::size_t>(y) * W * 3;
    for (int x = 0; x < W; ++x) {
      dst[3 * x + 0] = static_cast<unsigned char>(src[x]);
      dst[3 * x + 1] = static_cast<unsigned char>(src[x] >> 8);
      dst[3 * x + 2] = static_cast<unsigned char>(src[x] >> 16);
    }
  }
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(W);
  image.height = static_cast<png_uint_32>(H);
  image.format = PNG_FORMAT_RGB;
  errno = 0;
  if (!text.empty()) {
    // Made in memory, the chunk put in after the header (signature and IHDR, 33 bytes).
    png_alloc_size_t size = 0;
    if (!png_image_write_get_memory_size(image, size, 0, rgb.data(), W * 3, nullptr)) {
      std::string why = image.message;
      png_image_free(&image);
      return why.empty() ? "PNG encoding failed" : why;
    }
    std::vector<unsigned char> png(size);
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgb.data(), W * 3, nullptr)) {
      std::string why = image.message;
      png_image_free(&image);
      return why.empty() ? "PNG encoding failed" : why;
    }
    std::string data = keyword;
    data.push_back('\0');
    data += text;
    std::vector<unsigned char> chunk(12 + data.size());
    const auto put32 = [](unsigned char* p, std::uint32_t v) {
      for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    };
    put32(chunk.data(), static_cast<std::uint32_t>(data.size()));
    std::memcpy(chunk.data() + 4, "tEXt", 4);
    std::memcpy(chunk.data() + 8, data.data(), data.size());
    put32(chunk.data() + 8 + data.size(), static_cast<std::uint32_t>(crc32_z(0, chunk.data() + 4, data.size() + 4)));
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    errno = 0;
    if (std::fwrite(png.data(), 1, png.size(), f) != png.size()) {
      return errno != 0 ? std::strerror(errno) : "write error";
    }
    return "";
  }
  if (!png_image_write_to_stdio(&image, f, 0, rgb.data(), W * 3, nullptr)) {
    // libpng names the stream's failure only as a write error: errno has the reason.
    std::string why = errno != 0 ? std::strerror(errno) : image.message;
    png_image_free(&image);
    return why.empty() ? "PNG encoding failed" : why;
  }
  return "";
}

std::string words_to(std::FILE* f, const std::uint32_t* words, std::size_t n) {
  std::vector<unsigned char> bytes(n * 4);
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<unsigned char>(words[i] >> (8 * k));
  }
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    return errno != 0 ? std::strerror(errno) : "write error";
  }
  return "";
}

std::uint64_t fnv1a_words(const std::uint32_t* words, std::size_t n) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 4; ++k) {
      h ^= static_cast<unsigned char>(words[i] >> (8 * k));
      h *= 1099511628211ull;
    }
  }
  return h;
}

}  // namespace zd
