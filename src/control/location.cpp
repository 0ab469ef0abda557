// location.cpp — reading and writing location files.
#include "control/location.h"

#include <png.h>

#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

namespace zd {

namespace {

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// -x for a number as written: its sign flipped, every digit kept.
std::string negated(const std::string& x) {
  if (!x.empty() && x[0] == '-') return x.substr(1);
  std::string r(1, '-');  // (appended, not "-" + x: GCC 12 warns of overlaps that are not there)
  r.append(x, !x.empty() && x[0] == '+' ? 1 : 0);
  return r;
}

std::string g17(double d) {
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", d);
  return b;
}

// A location is a few lines: a file much longer is something else (or endless, as /dev/zero).
constexpr std::size_t MAX_LOCATION_BYTES = 1 << 20;

// libpng's errors end the read with their message, instead of printing it.
[[noreturn]] void png_failed(png_structp png, png_const_charp message) {
  *static_cast<std::string*>(png_get_error_ptr(png)) = message;
  png_longjmp(png, 1);
}
void png_warned(png_structp, png_const_charp) {}

// The text of PNG's "zoomdive" chunk, or "" if it has none. Chunks before the image are read
// first; the rows are only skipped through, one at a time, to reach those after it.
std::string png_chunk(std::FILE* f, std::string& err) {
  std::string why;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &why, png_failed, png_warned);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  png_infop end = info ? png_create_info_struct(png) : nullptr;
  if (!end) {
    png_destroy_read_struct(&png, &info, nullptr);
    err = "out of memory";
    return "";
  }
  std::vector<png_byte> row;
  std::string found;
  const auto look = [&](png_infop where) {
    png_textp text = nullptr;
    int n = 0;
    png_get_text(png, where, &text, &n);
    for (int i = 0; i < n && found.empty(); ++i) {
      if (std::strcmp(text[i].key, "zoomdive") == 0) found.assign(text[i].text, text[i].text_length);
    }
  };
  if (setjmp(png_jmpbuf(png))) {
    err = "not a whole PNG (" + why + ")";
    png_destroy_read_struct(&png, &info, &end);
    return "";
  }
  png_init_io(png, f);
  png_read_info(png, info);
  look(info);
  if (found.empty()) {
    row.resize(png_get_rowbytes(png, info));
    const int passes = png_set_interlace_handling(png);
    for (int pass = 0; pass < passes; ++pass) {
      for (png_uint_32 y = 0; y < png_get_image_height(png, info); ++y) png_read_row(png, row.data(), nullptr);
    }
    png_read_end(png, end);
    look(end);
  }
  png_destroy_read_struct(&png, &info, &end);
  return found;
}

}  // namespace

std::optional<std::array<std::string, 5>> location_file(const std::string& path, std::string& err) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) {
    err = path + ": cannot read: " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text(MAX_LOCATION_BYTES + 1, '\0');
  const std::size_t n = std::fread(text.data(), 1, text.size(), f.get());
  if (std::ferror(f.get())) {
    err = path + ": cannot read: " + std::strerror(errno);
    return std::nullopt;
  }
  text.resize(n);
  if (png_sig_cmp(reinterpret_cast<png_const_bytep>(text.data()), 0, std::min<std::size_t>(n, 8)) != 0 || n < 8) {
    if (n > MAX_LOCATION_BYTES) {
      err = path + ": longer than 1 MiB: not a location file";
      return std::nullopt;
    }
    return location_numbers(text, path, err);
  }
  // A PNG: the command line that made it, whose --view is the view.
  std::rewind(f.get());
  std::string why;
  const std::string line = png_chunk(f.get(), why);
  if (!why.empty()) {
    err = path + ": " + why;
    return std::nullopt;
  }
  if (line.empty()) {
    err = path + ": a PNG without zoomdive's text chunk: not a picture zoomdive wrote";
    return std::nullopt;
  }
  std::istringstream in(line);
  std::string word;
  while (in >> word && word != "--view") {
  }
  std::array<std::string, 5> v;
  for (std::string& x : v) {
    if (!(in >> x)) {
      err = path + ": its zoomdive chunk has no --view with five numbers";
      return std::nullopt;
    }
  }
  return v;
}

std::optional<std::array<std::string, 5>> location_numbers(const std::string& text, const std::string& name,
                                                           std::string& err) {
  struct Field {
    const char* key;
    std::string value;
    int line = 0;
  } fields[] = {{"Re:", {}}, {"Im:", {}}, {"Zoom:", {}}, {"Iterations:", {}}};
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const std::string t = trim(line);
    for (Field& f : fields) {
      const std::string key = f.key;
      if (t.compare(0, key.size(), key) != 0) continue;
      if (f.line != 0) {
        err = name + ":" + std::to_string(number) + ": a second " + f.key + " line";
        return std::nullopt;
      }
      f.value = trim(t.substr(key.size()));
      f.line = number;
    }
  }
  const auto fail = [&](const Field& f, const std::string& what) {
    err = name + ":" + std::to_string(f.line) + ": " + what;
    return std::nullopt;
  };
  for (int i = 0; i < 3; ++i) {
    if (fields[i].line == 0) {
      err = name + ":1: no " + std::string(fields[i].key) + " line";
      return std::nullopt;
    }
  }
  std::array<std::string, 5> n;
  for (int i = 0; i < 2; ++i) {
    if (!View::read_centre(fields[i].value)) return fail(fields[i], std::string(fields[i].key) + " is not a number: \"" + fields[i].value.substr(0, 40) + "\"");
    n[i] = negated(fields[i].value);
  }
  // Half-height 2 / Z, rounded once; the half-width 4/3 of it.
  const Field& z = fields[2];
  const auto zoom = BigFloat::parse(z.value, 256);
  if (!zoom || !(zoom->sign() > 0)) return fail(z, "Zoom: is not a positive number: \"" + z.value.substr(0, 40) + "\"");
  BigFloat two(2.0, 256);
  mpfr_div(two.get(), two.get(), zoom->get(), MPFR_RNDN);
  const FloatExp h = two.to_floatexp();
  n[2] = negated(to_string(h * FloatExp(4.0) / FloatExp(3.0), 17));
  n[3] = negated(to_string(h, 17));
  n[4] = g17(LOCATION_LIMIT);
  if (fields[3].line != 0) {
    char* end = nullptr;
    const double it = std::strtod(fields[3].value.c_str(), &end);
    if (fields[3].value.empty() || *end != '\0' || !(it >= 1.0 && it <= 2147483647.0)) {
      return fail(fields[3], "Iterations: is not a count from 1 to 2147483647: \"" + fields[3].value.substr(0, 40) + "\"");
    }
    n[4] = fields[3].value;
  }
  return n;
}

std::string location_line(const View& v) {
  std::istringstream in(v.numbers());
  std::string x, y, xs, ys, m;
  in >> x >> y >> xs >> ys >> m;
  // Zoom 2 / |half-height|, with digits enough that 2 / Zoom rounds back to it.
  BigFloat z(2.0, 256), h(v.ys, 256);
  mpfr_abs(h.get(), h.get(), MPFR_RNDN);
  mpfr_div(z.get(), z.get(), h.get(), MPFR_RNDN);
  return negated(x) + " " + negated(y) + " " + z.to_string(30) + " " + m;
}

std::string location_text(const View& v) {
  std::istringstream in(location_line(v));
  std::string re, im, zoom, it;
  in >> re >> im >> zoom >> it;
  return "Re: " + re + "\nIm: " + im + "\nZoom: " + zoom + "\nIterations: " + it + "\n";
}

}  // namespace zd
