// png_bands.cpp — PNG image data in independent parts: each band's rows filtered (the first
// without the row above, which another band holds) and raw-deflated up to a byte boundary, so
// that the parts concatenate into one zlib stream whose checksum is combined from theirs.
#include "display/png_bands.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zd {

namespace {

void put32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

int paeth(int a, int b, int c) {
  const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// A row under filter TYPE (None, Sub, Up, Average, Paeth) into out; returns the sum of its
// bytes as signed numbers, in magnitude.
template <int TYPE>
long filtered(const std::uint8_t* row, const std::uint8_t* up, int n, std::uint8_t* out) {
  constexpr int BPP = 3;
  long sum = 0;
  for (int i = 0; i < n; ++i) {
    const int a = i >= BPP ? row[i - BPP] : 0;
    int pred = 0;
    if constexpr (TYPE == 1) pred = a;
    if constexpr (TYPE == 2) pred = up[i];
    if constexpr (TYPE == 3) pred = (a + up[i]) / 2;
    if constexpr (TYPE == 4) pred = paeth(a, up[i], i >= BPP ? up[i - BPP] : 0);
    const std::uint8_t v = static_cast<std::uint8_t>(row[i] - pred);
    out[i] = v;
    sum += v < 128 ? v : 256 - v;
  }
  return sum;
}

// One row with the filter whose bytes sum least in magnitude (the usual heuristic), its type
// byte first. Without the row above (up == null), None and Sub only.
void filter_row(const std::uint8_t* row, const std::uint8_t* up, int n, std::uint8_t* out,
                std::uint8_t* trial) {
  long (*const filters[5])(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*) = {
      filtered<0>, filtered<1>, filtered<2>, filtered<3>, filtered<4>};
  long best = -1;
  for (int type = 0; type < (up ? 5 : 2); ++type) {
    const long sum = filters[type](row, up, n, trial);
    if (best < 0 || sum < best) {
      best = sum;
      out[0] = static_cast<std::uint8_t>(type);
      std::memcpy(out + 1, trial, static_cast<std::size_t>(n));
    }
  }
}

// A thread's deflate state and buffers, kept from band to band: a band allocates nothing once
// the first has grown them.
struct Encoder {
  z_stream zs{};
  std::vector<std::uint8_t> data, trial;
  Encoder() {
    // Raw deflate: the zlib header and checksum are the whole picture's (PngParts).
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      std::abort();  // only for want of memory
    }
  }
  ~Encoder() { deflateEnd(&zs); }
};

}  // namespace

void png_encode(const std::uint8_t* rgb, int rows, int width, bool last,
                std::vector<std::uint8_t>& bytes, std::uint32_t& adler, std::uint64_t& length) {
  // Counts as unsigned from here on: neither is ever negative.
  const std::size_t n = static_cast<unsigned>(width) * std::size_t{3}, line = n + 1;
  const std::size_t count = static_cast<unsigned>(rows);
  thread_local Encoder enc;
  std::vector<std::uint8_t>& data = enc.data;
  std::vector<std::uint8_t>& trial = enc.trial;
  data.resize(line * count);
  trial.resize(n);
  for (std::size_t y = 0; y < count; ++y) {
    const std::uint8_t* row = rgb + y * n;
    filter_row(row, y > 0 ? row - n : nullptr, static_cast<int>(n), data.data() + y * line, trial.data());
  }
  length = data.size();
  adler = static_cast<std::uint32_t>(adler32_z(1, data.data(), data.size()));

  z_stream& zs = enc.zs;
  deflateReset(&zs);
  bytes.resize(deflateBound(&zs, data.size()) + 16);
  zs.next_in = data.data();
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = bytes.data();
  zs.avail_out = static_cast<uInt>(bytes.size());
  // A sync flush ends on a byte boundary without a final block: the next part follows on.
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  for (;;) {
    const int r = deflate(&zs, flush);
    if ((last && r == Z_STREAM_END) || (!last && r == Z_OK && zs.avail_out > 0 && zs.avail_in == 0)) {
      break;
    }
    const std::size_t used = bytes.size() - zs.avail_out;
    bytes.resize(bytes.size() * 2);
    zs.next_out = bytes.data() + used;
    zs.avail_out = static_cast<uInt>(bytes.size() - used);
  }
  bytes.erase(bytes.begin() + (zs.next_out - bytes.data()), bytes.end());
}

std::string PngParts::chunk(const char type[4], const std::uint8_t* data, std::size_t n) {
  std::uint8_t head[8];
  put32(head, static_cast<std::uint32_t>(n));
  std::memcpy(head + 4, type, 4);
  uLong crc = crc32_z(0, head + 4, 4);
  if (n > 0) crc = crc32_z(crc, data, n);  // a null buffer would restart the sum
  std::uint8_t tail[4];
  put32(tail, static_cast<std::uint32_t>(crc));
  errno = 0;
  if (std::fwrite(head, 1, 8, f_) != 8 || (n > 0 && std::fwrite(data, 1, n, f_) != n) ||
      std::fwrite(tail, 1, 4, f_) != 4) {
    return errno != 0 ? std::strerror(errno) : "write error";
  }
  return "";
}

std::string PngParts::begin(int width, int height, const std::string& keyword, const std::string& text) {
  static const std::uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  errno = 0;
  if (std::fwrite(signature, 1, 8, f_) != 8) return errno != 0 ? std::strerror(errno) : "write error";
  std::uint8_t ihdr[13] = {};
  put32(ihdr, static_cast<std::uint32_t>(width));
  put32(ihdr + 4, static_cast<std::uint32_t>(height));
  ihdr[8] = 8;  // bits a channel
  ihdr[9] = 2;  // RGB; compression, filter method and interlace 0
  if (std::string err = chunk("IHDR", ihdr, sizeof ihdr); !err.empty()) return err;
  if (!text.empty()) {
    std::string t = keyword;
    t.push_back('\0');
    t += text;
    if (std::string err = chunk("tEXt", reinterpret_cast<const std::uint8_t*>(t.data()), t.size()); !err.empty()) {
      return err;
    }
  }
  static const std::uint8_t zlib_header[2] = {0x78, 0x9c};  // deflate, 32 KiB window
  return chunk("IDAT", zlib_header, 2);
}

std::string PngParts::part(const std::vector<std::uint8_t>& bytes, std::uint32_t adler,
                           std::uint64_t length) {
  adler_ = static_cast<std::uint32_t>(adler32_combine64(adler_, adler, static_cast<z_off64_t>(length)));
  // A chunk holds less than 2^31 bytes.
  constexpr std::size_t MAX = std::size_t{1} << 30;
  for (std::size_t at = 0; at < bytes.size(); at += MAX) {
    if (std::string err = chunk("IDAT", bytes.data() + at, std::min(MAX, bytes.size() - at)); !err.empty()) {
      return err;
    }
  }
  return "";
}

std::string PngParts::end() {
  std::uint8_t sum[4];
  put32(sum, adler_);
  if (std::string err = chunk("IDAT", sum, 4); !err.empty()) return err;
  return chunk("IEND", nullptr, 0);
}

}  // namespace zd
