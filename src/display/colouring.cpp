// colouring.cpp — the smooth and distance colourings and palette files.
#include "display/colouring.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "compute/escape.h"

namespace zd {

namespace {

constexpr const char* kNames[] = {"design", "smooth", "distance"};

// The palette drifts slowly with the count, by a colour every few doublings: within a view the
// colours stay close where neighbouring pixels' counts differ by half (near spirals and small
// copies), and a dive still moves through the palette. Over it run fine bands, many to a
// doubling, three phases apart in red, green and blue and at most 46 levels deep: they tell
// apart counts that differ by little, and never make neighbours differ by more than they are
// deep. (Measured on the seahorse and the README's views, docs/performance.md.)
constexpr double kColoursPerOctave = 0.15;
constexpr double kBandsPerOctave = 24.0;
constexpr double kBandDepth = 23.0;  // levels either side

}  // namespace

const char* colours_name(Colours c) { return kNames[static_cast<int>(c)]; }

std::optional<Colours> colours_of(const std::string& name) {
  for (int i = 0; i < 3; ++i) {
    if (name == kNames[i]) return static_cast<Colours>(i);
  }
  return std::nullopt;
}

Colours next_colours(Colours c) { return static_cast<Colours>((static_cast<int>(c) + 1) % 3); }

std::string colours_names() { return std::string(kNames[0]) + ", " + kNames[1] + ", " + kNames[2]; }

Palette Palette::builtin() {
  // Mid-bright colours, none near black or white, so that the bands show on every one.
  return Palette{{{31, 79, 160}, {42, 157, 143}, {233, 196, 106}, {244, 162, 97}, {181, 68, 110}, {91, 60, 136}}, ""};
}

std::optional<Palette> read_palette(const std::string& path, std::string& err) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    err = path + ":0: cannot be read: " + std::strerror(errno);
    return std::nullopt;
  }
  Palette p;
  p.file = path;
  std::string line;
  int number = 0;
  const auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (std::getline(in, line)) {
    ++number;
    const auto first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos) continue;
    const auto last = line.find_last_not_of(" \t\r");
    const std::string word = line.substr(first, last - first + 1);
    int v[6] = {};
    bool ok = word.size() == 7 && word[0] == '#';
    for (int i = 0; ok && i < 6; ++i) ok = (v[i] = hex(word[i + 1])) >= 0;
    if (!ok) {
      err = path + ":" + std::to_string(number) + ": not a colour as #rrggbb: \"" + word.substr(0, 40) + "\"";
      return std::nullopt;
    }
    p.colours.push_back({static_cast<std::uint8_t>(v[0] * 16 + v[1]), static_cast<std::uint8_t>(v[2] * 16 + v[3]),
                         static_cast<std::uint8_t>(v[4] * 16 + v[5])});
    if (p.colours.size() > 65536) {
      err = path + ":" + std::to_string(number) + ": more than 65536 colours";
      return std::nullopt;
    }
  }
  if (in.bad()) {
    err = path + ":" + std::to_string(number) + ": cannot be read: " + std::strerror(errno);
    return std::nullopt;
  }
  if (p.colours.empty()) {
    err = path + ":" + std::to_string(number) + ": no colours";
    return std::nullopt;
  }
  return p;
}

Colouring::Colouring(Colours kind, const std::uint32_t* design, Palette palette)
    : kind_(kind), design_(design), palette_(std::move(palette)) {
  for (const Rgb& c : palette_.colours) rgb_.insert(rgb_.end(), {double(c.r), double(c.g), double(c.b)});
  const Rgb& f = palette_.colours.front();
  rgb_.insert(rgb_.end(), {double(f.r), double(f.g), double(f.b)});
  if (kind_ == Colours::Design) return;
  auto table = std::make_shared<std::vector<std::uint32_t>>(TABLE_STEPS * TABLE_OCTAVES);
  for (int i = 0; i < TABLE_STEPS * TABLE_OCTAVES; ++i) {
    const double mantissa = 1.0 + ((i % TABLE_STEPS) + 0.5) / TABLE_STEPS;
    (*table)[i] = formula(1 + i / TABLE_STEPS + log2_of(mantissa), 1.0);
  }
  table_ = std::move(table);
}

namespace {

// floor of x for 0 <= x < 2^63: a conversion, not a call into the maths library (which the
// baseline target makes of std::floor), on every escaping point.
inline double down(double x) { return static_cast<double>(static_cast<long long>(x)); }

}  // namespace

std::uint32_t Colouring::escaped(double nu, double de) const {
  const double x = (nu > 0.0 ? nu : 0.0) + 2.0;  // at least 2 (a NaN count is 0)
  // Darker nearer the set, black on it: filaments a fraction of a pixel wide stay visible.
  const double shade = de >= 2.0 ? 1.0 : de > 0.0 ? std::sqrt(de * 0.5) : 0.0;
  // Most points: a look-up, not the formula per point.
  return shade == 1.0 ? unshaded(nu) : formula(log2_of(x), shade);
}

std::uint32_t Colouring::formula(double octaves, double shade) const {
  // Every floor below is of a value from 0 to a few ten thousands.
  const double n = static_cast<double>(palette_.colours.size());
  double t = octaves * kColoursPerOctave;
  t = t - n * down(t / n);            // in [0, n)
  if (!(t >= 0.0 && t < n)) t = 0.0;  // a NaN count
  const int i = static_cast<int>(t);
  const double f = t - i;
  const double bands = octaves * kBandsPerOctave;
  // One colour: every escaping point has it, no bands over it.
  const double depth = palette_.colours.size() > 1 ? kBandDepth : 0.0;
  std::uint32_t word = 0;
  for (int ch = 0; ch < 3; ++ch) {
    const double phase = bands + ch / 3.0;
    const double wave = 2.0 * std::fabs(2.0 * (phase - down(phase)) - 1.0) - 1.0;  // -1 .. 1
    const double a = rgb_[3 * i + ch], b = rgb_[3 * (i + 1) + ch];
    double v = ((a + (b - a) * f) + wave * depth) * shade;
    v = v < 0.0 ? 0.0 : v > 255.0 ? 255.0 : v;
    word |= static_cast<std::uint32_t>(static_cast<int>(v + 0.5)) << (8 * ch);
  }
  return word != 0 ? word : 0x010101u;  // black is for points at the limit
}

}  // namespace zd
