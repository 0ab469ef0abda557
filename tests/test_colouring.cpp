// test_colouring.cpp — colourings: the design's table, smooth and distance colours, palette files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "compute/escape.h"
#include "compute/poster.h"
#include "display/colouring.h"
#include "display/image_out.h"
#include "platform/script.h"
#include "program.h"
#include "render_run.h"

namespace zd::test {
namespace {

namespace fs = std::filesystem;

std::uint32_t word(Rgb c) { return c.r | c.g << 8 | c.b << 16; }

// Black where a count reaches the limit and nowhere else; an escaping point's colour is a
// function of its continuous count and distance, not of the limit; the design's colouring is its
// table, (limit - n) mod 256.
TEST(Colouring, BlackOnlyAtTheLimitAndTheSameAtAnyLimit) {
  std::uint32_t table[256];
  for (int i = 0; i < 256; ++i) table[i] = static_cast<std::uint32_t>(i * 0x010203);
  const Colouring design(Colours::Design, table);
  EXPECT_EQ(design.colour(40, 300, 0, 0), table[4]);
  EXPECT_EQ(design.colour(300, 300, 0, 0), table[0]);
  // A palette that holds black itself: escaping points still are never black.
  Palette dark{{{0, 0, 0}, {0, 0, 0}, {255, 255, 255}}, ""};
  for (const Colours kind : {Colours::Smooth, Colours::Distance}) {
    for (const Palette& pal : {Palette::builtin(), dark}) {
      const Colouring c(kind, table, pal);
      EXPECT_EQ(c.colour(1000, 1000, 1000.0, 0.0), 0u);
      EXPECT_EQ(c.colour(7, 1, 1.0, 0.0), 0u) << "a limit below 1 is 1";
      int black = 0;
      for (double nu = -3.0; nu < 5000.0; nu = nu * 1.001 + 0.013) {
        for (const double de : {0.0, 1e-9, 0.3, 5.0}) {
          const std::uint32_t w = c.colour(static_cast<int>(nu) + 1, 100000, nu, de);
          black += w == 0;
          ASSERT_EQ(w, c.colour(static_cast<int>(nu) + 1, 200000, nu, de)) << "the limit changed the colour";
          ASSERT_EQ(w >> 24, 0u);
        }
      }
      EXPECT_EQ(black, 0) << colours_name(kind);
    }
  }
  // One colour: every escaping point has it (as far from the set as shading allows).
  const Colouring one(Colours::Smooth, table, Palette{{{200, 100, 50}}, ""});
  for (const double nu : {0.5, 3.7, 1234.5, 1e6}) EXPECT_EQ(one.colour(0, 10, nu, 9), 0x3264c8u);
}

// Distance shading darkens towards the set: nearer is never brighter.
TEST(Colouring, DistanceShadesTowardsTheSet) {
  const Colouring c(Colours::Distance, nullptr);
  const auto level = [&](double de) {
    const std::uint32_t w = c.colour(5, 100, 700.0, de);
    return (w & 255) + (w >> 8 & 255) + (w >> 16 & 255);
  };
  EXPECT_LT(level(0.01), level(0.5));
  EXPECT_LT(level(0.5), level(1.5));
  EXPECT_EQ(level(2.0), level(50.0));
}

// Palette files: one #rrggbb a line, blank lines and blanks around a colour allowed; anything
// else names the file, the line and what is wrong.
TEST(Colouring, PaletteFilesAndTheirErrors) {
  const fs::path dir = fs::temp_directory_path() / ("zd-palette-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const auto file = [&](const std::string& text) {
    const fs::path p = dir / "p.txt";
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  };
  std::string err;
  const auto good = read_palette(file("#000000\n\n  #FF8000 \r\n#0a0B0c"), err);
  ASSERT_TRUE(good) << err;
  ASSERT_EQ(good->colours.size(), 3u);
  EXPECT_EQ(word(good->colours[1]), 0x0080ffu);
  EXPECT_EQ(word(good->colours[2]), 0x0c0b0au);
  EXPECT_EQ(good->file, dir / "p.txt");
  const struct {
    const char* text;
    const char* message;  // after "FILE:"
  } bad[] = {
      {"#000000\nred\n", "2: not a colour as #rrggbb"}, {"#00000\n", "1: not a colour"},
      {"#0000000\n", "1: not a colour"},                {"# 00000\n", "1: not a colour"},
      {"#00000g\n", "1: not a colour"},                 {"\n\n", "2: no colours"},
      {"", "0: no colours"},                            {"#123456 #654321\n", "1: not a colour"},
  };
  for (const auto& b : bad) {
    const std::string path = file(b.text);
    EXPECT_FALSE(read_palette(path, err)) << b.text;
    EXPECT_EQ(err.rfind(path + ":" + b.message, 0), 0u) << err;
  }
  EXPECT_FALSE(read_palette((dir / "none.txt").string(), err));
  EXPECT_EQ(err.rfind((dir / "none.txt").string() + ":", 0), 0u) << err;
  fs::remove_all(dir);
}


// Pictures in the smooth and distance colourings: the program's (vector kernel, batches,
// subdivision) against the walk with each point's colour from the scalar kernel.
class ColouredPictures : public Program {
 protected:
  static std::vector<std::uint32_t> reference() {
    zd::Picture fresh(DESIGN_W, DESIGN_H);
    const Canvas cv = fresh.canvas(0, DESIGN_W);
    const View& v = prog.view;
    const double dx = (v.xstep * 2.0) / DESIGN_W, dy = (v.ystep * 2.0) / DESIGN_H;
    WalkBand b{0, DESIGN_H, DESIGN_H, v.xmit - v.xstep, dx, v.ymit + v.ystep, dy, true, true};
    b.compared = prog.colouring.compared();
    const int limit = limit_of(v.maxit);
    const double pitch = std::min(std::fabs(dx), std::fabs(dy));
    auto colour = [&](double cx, double cy) {
      double zx, zy, ux, uy;
      const int n = escape_count(cx, cy, limit, pitch, &zx, &zy, &ux, &uy);
      const Escape e = n < limit ? escape_of(n, zx, zy, ux, uy, cx, cy, pitch) : Escape{};
      return prog.colouring.word(n, limit, e.nu, e.distance);
    };
    PointByPoint<decltype(colour)> p{cv, b, colour};
    walk(cv, b, p);
    return fresh.shown();
  }
};

// Each colouring's picture is its points' colours, black where the count reaches the limit
// (direct iteration of every pixel's point agrees but where the subdivision filled a block);
// escaping pixels keep their colour when the limit doubles; the 480 x 360 poster in the
// colouring is the window's picture.
TEST_F(ColouredPictures, ThePointsColoursBlackAtTheLimitTheSameAtTwiceTheLimit) {
  for (const char* colours : {"smooth", "distance"}) {
    // Between the main cardioid and the largest bulb: inside and outside, filaments.
    start({"--colour", colours, "--", "0.80", "0.70", "-0.10", "-0.025", "200"});
    whole_picture();
    const std::vector<std::uint32_t> once = picture();
    EXPECT_EQ(once, reference()) << colours;
    const View& v = prog.view;
    const double x0 = v.xmit - v.xstep, dx = v.xstep * 2.0 / DESIGN_W;
    const double y0 = v.ymit + v.ystep, dy = v.ystep * 2.0 / DESIGN_H;
    int unlike = 0;
    for (int r = 0; r < DESIGN_H; ++r) {
      for (int c = 0; c < DESIGN_W; ++c) {
        const bool inside = escape_count(x0 + c * dx, y0 - r * dy, 200) >= 200;
        unlike += inside != (once[r * DESIGN_W + c] == 0);
      }
    }
    EXPECT_LT(unlike, DESIGN_W * DESIGN_H / 100) << colours;  // 620 (0.36 %), blocks filled whole
    EXPECT_GT(std::count(once.begin(), once.end(), 0u), DESIGN_W * DESIGN_H / 20) << colours;

    std::vector<std::uint8_t> poster;
    const PosterSink sink{nullptr, [&](const BandOut& b) {
                            poster.insert(poster.end(), b.rgb, b.rgb + b.rows * DESIGN_W * 3);
                            return std::string();
                          }};
    ASSERT_EQ(render_poster(prog.view, PosterShape{}, prog.colouring, sink), "");
    int off = 0;
    for (int i = 0; i < DESIGN_W * DESIGN_H; ++i) {
      const std::uint32_t w = once[(DESIGN_H - 1 - i / DESIGN_W) * DESIGN_W + i % DESIGN_W];
      off += static_cast<std::uint32_t>(poster[3 * i] | poster[3 * i + 1] << 8 | poster[3 * i + 2] << 16) != w;
    }
    EXPECT_EQ(off, 0) << colours;

    prog.view.maxit *= 2;
    whole_picture();
    const std::vector<std::uint32_t> twice = picture();
    EXPECT_EQ(twice, reference()) << colours;
    int escaping = 0, same = 0;
    for (std::size_t i = 0; i < once.size(); ++i) {
      if (once[i] == 0 || twice[i] == 0) continue;
      ++escaping;
      same += once[i] == twice[i];
    }
    EXPECT_GT(escaping, DESIGN_W * DESIGN_H / 20);
    EXPECT_GE(same, escaping * 0.99) << colours;
  }
}

// The seahorse view in smooth: few neighbouring escaping pixels far apart in colour, and many
// colours (the design's: 22 % and 256), for about the design's points (the subdivision compares
// counts, not the continuous colours, which nearly always differ).
TEST_F(ColouredPictures, TheSeahorseViewShowsBandsNotConfetti) {
  long long points[2];
  for (const char* colours : {"design", "smooth"}) {
    start({"--colour", colours, "--view", "0.74364388699999995", "-0.13182590429999999", "-5.0000000000050004e-05",
           "-3.749999999999587e-05", "500"});
    const long long before = prog.tally.points.load();
    whole_picture();
    points[colours[0] == 's'] = prog.tally.points.load() - before;
  }
  EXPECT_LT(std::abs(points[1] - points[0]), points[0] / 50) << points[0] << " points in design, " << points[1];
  std::vector<std::uint32_t> p = picture();
  int pairs = 0, jumps = 0;
  for (std::size_t i = 0; i + 1 < p.size(); ++i) {
    if ((i + 1) % DESIGN_W == 0 || p[i] == 0 || p[i + 1] == 0) continue;
    ++pairs;
    for (int ch = 0; ch < 24; ch += 8) {
      if (std::abs(static_cast<int>(p[i] >> ch & 255) - static_cast<int>(p[i + 1] >> ch & 255)) > 48) {
        ++jumps;
        break;
      }
    }
  }
  EXPECT_GT(pairs, DESIGN_W * DESIGN_H / 2);
  EXPECT_LE(jumps, pairs * 0.03);
  std::sort(p.begin(), p.end());
  EXPECT_GE(std::unique(p.begin(), p.end()) - p.begin(), 3000);
}

// The tEXt chunk is put after the header and nothing else changes: without it the file is
// the one written without it, byte for byte.
TEST(PngText, TheChunkAloneIsAdded) {
  std::vector<std::uint32_t> words(64 * 48);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint32_t>(i * 2654435761u) & 0xffffff;
  const auto bytes = [&](const std::string& text) {
    std::FILE* f = std::tmpfile();
    EXPECT_EQ(png_to(f, words.data(), 64, 48, "zoomdive", text), "");
    std::string b(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(b.data(), 1, b.size(), f), b.size());
    std::fclose(f);
    return b;
  };
  const std::string plain = bytes(""), with = bytes("zoomdive-render --view 1 2 3 4 5");
  const PngChunks c = png_chunks(with, "tEXt");
  EXPECT_EQ(c.without, plain);
  ASSERT_GE(c.chunks.size(), 3u);
  EXPECT_EQ(c.chunks[1], std::make_pair(std::string("tEXt"), std::string("zoomdive\0zoomdive-render --view 1 2 3 4 5", 41)));
  std::uint32_t crc = 0;  // after the chunk's type and data, from byte 37 on
  for (int i = 82; i < 86; ++i) crc = crc << 8 | static_cast<unsigned char>(with[i]);
  EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(with.data()) + 37, 45), crc);
}

// Script lines that change the colouring read back as they were written.
TEST(ColourLines, ReadAndWrittenBack) {
  std::vector<ScriptLine> lines;
  int bad = 0;
  std::string what;
  ASSERT_TRUE(parse_script("colour smooth\n  colour\tdistance \ncolour design\n", lines, bad, what)) << what;
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& [line, text] : {std::pair{0, "colour smooth"}, {1, "colour distance"}, {2, "colour design"}}) {
    EXPECT_EQ(format_line(lines[line]), text);
  }
  for (const char* wrong : {"colour\n", "colour red\n", "colour smooth distance\n"}) {
    EXPECT_FALSE(parse_script(wrong, lines, bad, what)) << wrong;
    EXPECT_EQ(what, "expected colour NAME, NAME one of design, smooth, distance");
  }
}

class ColourRuns : public InFolder {
 protected:
  Result run(std::vector<std::string> args) {
    args.insert(args.end(), {"--", "-0.9", "-0.6", "0.35", "0.125", "120"});
    const Result r = render(dir, args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }
  // Runs the command a PNG file holds, with -o again.png, and gives that file's bytes.
  std::string again(const std::string& command) {
    EXPECT_EQ(command.rfind("zoomdive-render --view ", 0), 0u) << command;
    const std::string sh = "cd " + dir.string() + " && " + ZD_RENDER_BIN + command.substr(15) + " -o again.png";
    EXPECT_EQ(std::system(sh.c_str()), 0) << sh;
    return slurp(dir / "again.png");
  }
};

// The chunk's command writes the same file again: windows, posters, film frames; the colouring
// a script's line chose; a palette file whose name needs quotes.
TEST_F(ColourRuns, EachPngsCommandWritesItAgain) {
  std::ofstream(dir / "my pal.txt") << "#102030\n\n#f0e0d0\n#00ff00\n";
  run({"--window", "200x150", "--colour", "smooth", "--palette", "my pal.txt", "-o", "a.png"});
  const std::string a = png_words(dir / "a.png");
  EXPECT_NE(a.find(" 120 --window 200x150 --colour smooth --palette 'my pal.txt'"), std::string::npos) << a;
  EXPECT_EQ(again(a), slurp(dir / "a.png"));
  run({"--size", "96x72", "--supersample", "2", "--colour", "distance", "-o", "p.png"});
  const std::string p = png_words(dir / "p.png");
  EXPECT_NE(p.find(" 120 --size 96x72 --supersample 2 --colour distance"), std::string::npos) << p;
  EXPECT_EQ(again(p), slurp(dir / "p.png"));

  // A film whose session changes the colouring: a frame for the change, in the new colouring.
  std::ofstream(dir / "s.txt") << "L 0 0\n- 0 0\ncolour smooth\n";
  run({"--replay", "s.txt", "--size", "64x48", "--frames", "f"});
  const std::string last = png_words(dir / "f" / "frame-000003.png");
  EXPECT_EQ(png_words(dir / "f" / "frame-000002.png") + " --colour smooth", last);
  EXPECT_EQ(again(last), slurp(dir / "f" / "frame-000003.png"));
  // The window's replay: the line recolours the picture as a fresh one in that colouring.
  const Result r = run({"--replay", "s.txt", "--summary", "--screen", "r.w"});
  const std::string view = r.out.substr(5, r.out.find('\n') - 5);
  std::vector<std::string> fresh = {"--colour", "smooth", "--screen", "f.w", "--view"};
  std::istringstream in(view);
  for (std::string w; in >> w;) fresh.push_back(w);
  EXPECT_EQ(render(dir, fresh).status, 0);
  EXPECT_EQ(slurp(dir / "r.w"), slurp(dir / "f.w"));
}

}  // namespace
}  // namespace zd::test
