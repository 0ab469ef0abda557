// files.h — what the tests read back: a file's bytes, and a PNG as 8-bit RGB.
#pragma once
#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zd::test {

namespace fs = std::filesystem;

inline std::string slurp(const fs::path& file) {
  std::ifstream f(file, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// RGB pixels, top row first.
struct Picture {
  int width = 0, height = 0;
  std::vector<unsigned char> rgb;
  unsigned px(int x, int y) const {  // as a colour word, red in the low byte
    const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
    return p[0] | p[1] << 8 | p[2] << 16;
  }
  bool operator==(const Picture&) const = default;
  int differing(const Picture& o) const {  // pixels unlike o's; -1 for another size
    if (o.width != width || o.height != height) return -1;
    int n = 0;
    for (std::size_t i = 0; i < rgb.size(); i += 3) n += !std::equal(&rgb[i], &rgb[i] + 3, &o.rgb[i]);
    return n;
  }
};

// Empty unless the file is a PNG whose image data inflates whole, checksum included: libpng
// stops at the last row, stricter readers do not.
inline Picture read_png(const fs::path& file) {
  png_image img{};
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, file.c_str())) return {};
  img.format = PNG_FORMAT_RGB;
  Picture p{static_cast<int>(img.width), static_cast<int>(img.height),
            std::vector<unsigned char>(PNG_IMAGE_SIZE(img))};
  if (!png_image_finish_read(&img, nullptr, p.rgb.data(), 0, nullptr)) return {};
  const std::string bytes = slurp(file);
  std::string idat;
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    const std::size_t n = std::size_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3];
    if (bytes.compare(at + 4, 4, "IDAT") == 0) idat += bytes.substr(at + 8, n);
    at += n + 12;
  }
  std::vector<unsigned char> rows(p.rgb.size() + p.height);
  uLongf size = rows.size();
  const auto* in = reinterpret_cast<const Bytef*>(idat.data());
  return uncompress(rows.data(), &size, in, idat.size()) == Z_OK ? p : Picture{};
}

// A PNG file's chunks in order, as type and data; `without` leaves chunks of that type out of
// bytes (the file as it would be without them).
struct PngChunks {
  std::vector<std::pair<std::string, std::string>> chunks;
  std::string without;
};
inline PngChunks png_chunks(const std::string& bytes, const std::string& leave_out = "") {
  PngChunks c{{}, bytes.substr(0, 8)};
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    const std::size_t n = std::size_t{b[0]} << 24 | b[1] << 16 | b[2] << 8 | b[3];
    c.chunks.emplace_back(bytes.substr(at + 4, 4), bytes.substr(at + 8, n));
    if (c.chunks.back().first != leave_out) c.without += bytes.substr(at, n + 12);
    at += n + 12;
  }
  return c;
}
// The text of the file's tEXt chunk with that keyword; "" if it has none.
inline std::string png_words(const fs::path& file, const std::string& keyword = "zoomdive") {
  for (const auto& [type, data] : png_chunks(slurp(file)).chunks) {
    if (type == "tEXt" && data.rfind(keyword + '\0', 0) == 0) return data.substr(keyword.size() + 1);
  }
  return "";
}

}  // namespace zd::test
