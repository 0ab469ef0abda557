// colouring.h — how a point becomes a colour word: the design's table of 256 colours by its count,
// or a palette run through by its continuous count (smooth), shaded by its distance to the set.
#pragma once
#include <bit>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zd {

enum class Colours { Design, Smooth, Distance };

// The colourings' names as --colour and the recordings give them, in the order C goes through.
const char* colours_name(Colours c);
std::optional<Colours> colours_of(const std::string& name);
Colours next_colours(Colours c);
// "design, smooth, distance", for messages.
std::string colours_names();

struct Rgb {
  std::uint8_t r, g, b;
};

// The colours the smooth and distance colourings run through, blended in between.
struct Palette {
  std::vector<Rgb> colours;
  std::string file;  // where it was read from; empty for the built-in one
  static Palette builtin();
};
// Reads a palette file: one colour a line as #rrggbb (blanks around it allowed, blank lines
// ignored). Nothing, with err = "FILE:LINE: what is wrong", if it cannot be used.
std::optional<Palette> read_palette(const std::string& path, std::string& err);

// A colouring, ready for a picture: everything a point's colour needs but the point.
class Colouring {
 public:
  Colouring() = default;
  // design: the table (256 words, entry 0 black) the design's colouring takes.
  Colouring(Colours kind, const std::uint32_t* design, Palette palette = Palette::builtin());

  Colours kind() const { return kind_; }
  const Palette& palette() const { return palette_; }
  const std::uint32_t* design() const { return design_; }
  // What the kernels must give beside the counts.
  bool wants_smooth() const { return kind_ != Colours::Design; }
  bool wants_distance() const { return kind_ == Colours::Distance; }

  // The colour word of a point (red in the low byte) that counted n steps at this limit, with
  // its continuous count nu and distance de in pixels where asked for. A point that reached the
  // limit is black in every colouring; in the smooth and distance ones no other point is, and
  // an escaping point's colour does not depend on the limit.
  std::uint32_t colour(int n, int limit, double nu, double de) const {
    if (kind_ == Colours::Design) return design_[(static_cast<unsigned>(limit) - static_cast<unsigned>(n)) & 255u];
    if (n >= (limit > 1 ? limit : 1)) return 0u;
    return kind_ == Colours::Smooth ? unshaded(nu) : escaped(nu, de);
  }

  // The word a picture holds for that point: its colour and, in the continuous colourings, a
  // key of an escaping point's count in the top byte, which the display ignores. The
  // subdivision compares the bits of compared(): in the design's colouring the colours, in the
  // others the keys, so that it refines where counts differ, as the design's does, and not
  // wherever the continuous colours do (nearly everywhere). A point at the limit is 0, as in
  // the design's colouring and as the words past the picture's edges are until stored; the
  // key's top bit is set, so that no escaping point looks like one.
  std::uint32_t word(int n, int limit, double nu, double de) const {
    const std::uint32_t w = colour(n, limit, nu, de);
    if (kind_ == Colours::Design || w == 0) return w;
    return w | (static_cast<std::uint32_t>(n) & 127u) << 24 | 0x80000000u;
  }
  std::uint32_t compared() const { return kind_ == Colours::Design ? ~0u : 0xff000000u; }

 private:
  std::uint32_t escaped(double nu, double de) const;
  // The colour of continuous count nu, unshaded: a look-up by the bits of nu + 2 (see table_).
  std::uint32_t unshaded(double nu) const {
    const double x = (nu > 0.0 ? nu : 0.0) + 2.0;  // at least 2 (a NaN count is 0)
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    const int octave = static_cast<int>(bits >> 52) - 1023;  // 1 or more
    if (octave > TABLE_OCTAVES) return (*table_)[TABLE_STEPS * TABLE_OCTAVES - 1];
    return (*table_)[(octave - 1) * TABLE_STEPS + static_cast<int>(bits >> (52 - TABLE_BITS) & (TABLE_STEPS - 1))];
  }
  // The colour at log2(nu + 2) = octaves, darkened by shade (1: not at all).
  std::uint32_t formula(double octaves, double shade) const;

  Colours kind_ = Colours::Design;
  const std::uint32_t* design_ = nullptr;
  Palette palette_;
  std::vector<double> rgb_;  // the palette as doubles, the first colour again at the end
  // The unshaded colours, made once for the colouring, looked up by the bits of nu + 2: its
  // exponent from 1 to TABLE_OCTAVES and the top TABLE_BITS bits of its mantissa, each entry the
  // colour at the middle of its step (neighbours differ by a level or two at most). No
  // logarithm per point.
  static constexpr int TABLE_BITS = 12, TABLE_STEPS = 1 << TABLE_BITS, TABLE_OCTAVES = 32;
  std::shared_ptr<const std::vector<std::uint32_t>> table_;
};

}  // namespace zd
