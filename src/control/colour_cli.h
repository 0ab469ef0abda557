// colour_cli.h — colourings on the command line (--colour, --palette), and the words that give a
// picture's colouring and view back: P's line, a recording's start, a PNG file's own command.
#pragma once
#include <string>

#include "control/startup.h"
#include "display/colouring.h"

namespace CLI {
class App;
}

namespace zd {

struct ColourOptions {
  std::string colour, palette;  // as given
};

// Declares --colour and --palette on the parser.
void add_colour_options(CLI::App& app, ColourOptions& o);
// After parsing: the colouring and the palette into cmd. False with err: an unknown name, or a
// palette file that cannot be used ("FILE:LINE: what is wrong").
bool read_colour_options(const CLI::App& app, const ColourOptions& o, Cmdline& cmd, std::string& err);

// The program's colouring from the command line, on the design's table prog.mycoltab.
Colouring colouring_of(const Cmdline& cmd);

// s as one word of a POSIX shell: as it is when it needs no quotes, else in single quotes.
std::string shell_word(const std::string& s);

// " --colour NAME" unless it is the design's, then " --palette FILE" when a file was given
// (palette: the file's name, "" for the built-in palette).
std::string colour_arguments(Colours kind, const std::string& palette);
std::string colour_arguments(const Colouring& c);

// What a PNG file is of: the window (logo included) of width x height, or a poster of that size
// with n x n points a pixel.
struct PictureOf {
  bool poster = false;
  int width = 0, height = 0, supersample = 1;
};
// The zoomdive-render command that writes the picture again when given -o FILE:
// zoomdive-render --view XMIT YMIT XSTEP YSTEP MAXIT (every digit, as P prints them), then
// --size WxH (a poster) or --window WxH (a window not 480 x 360), --supersample N when not 1,
// and the colouring's arguments; words apart by one space.
std::string remake_command(const View& v, const PictureOf& what, Colours kind, const std::string& palette);
// That command for the window as last written (prog.shown_view), width x height.
std::string remake_window(int width, int height);

// The keyword of the PNG text chunk that holds that command.
constexpr const char* PNG_KEYWORD = "zoomdive";

}  // namespace zd
