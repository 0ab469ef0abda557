// image_out.cpp — file output through a temporary file renamed into place, so that a failed
// write never leaves a partial file behind.
#include "display/image_out.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zd {

namespace {

std::vector<unsigned char> le_bytes(const std::uint32_t* words, std::size_t n) {
  std::vector<unsigned char> out(n * 4);
  for (std::size_t i = 0; i < n; ++i) {
    out[4 * i + 0] = static_cast<unsigned char>(words[i]);
    out[4 * i + 1] = static_cast<unsigned char>(words[i] >> 8);
    out[4 * i + 2] = static_cast<unsigned char>(words[i] >> 16);
    out[4 * i + 3] = static_cast<unsigned char>(words[i] >> 24);
  }
  return out;
}

// Runs write(FILE*) into a temporary file beside path and renames it into place.
// write returns an empty string on success, else the reason.
template <class Write>
bool write_atomically(const std::string& path, std::string& err, Write write) {
  std::string tmp = path + ".XXXXXX";
  const int fd = mkstemp(tmp.data());
  if (fd < 0) {
    err = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; give it the permissions an ordinary new file gets.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    err = "cannot write " + path + ": " + std::strerror(errno);
    close(fd);
    unlink(tmp.c_str());
    return false;
  }
  std::string why = write(f);
  if (std::fflush(f) != 0 && why.empty()) why = std::strerror(errno);
  if (std::ferror(f) && why.empty()) why = "write error";
  if (std::fclose(f) != 0 && why.empty()) why = std::strerror(errno);
  if (why.empty() && std::rename(tmp.c_str(), path.c_str()) != 0) why = std::strerror(errno);
  if (!why.empty()) {
    unlink(tmp.c_str());
    err = "cannot write " + path + ": " + why;
    return false;
  }
  return true;
}

}  // namespace

bool write_png(const std::string& path, const std::uint32_t* window, std::string& err) {
  constexpr int W = 480, H = 360;
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
  return write_atomically(path, err, [&](FILE* f) -> std::string {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = W;
    image.height = H;
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_stdio(&image, f, 0, rgb.data(), W * 3, nullptr)) {
      std::string why = image.message;
      png_image_free(&image);
      return why.empty() ? "PNG encoding failed" : why;
    }
    return "";
  });
}

bool write_words(const std::string& path, const std::uint32_t* words, std::size_t n,
                 std::string& err) {
  const std::vector<unsigned char> bytes = le_bytes(words, n);
  return write_atomically(path, err, [&](FILE* f) -> std::string {
    if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) return std::strerror(errno);
    return "";
  });
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
