// colour_cli.cpp — --colour and --palette, and the commands that make a picture again.
#include "control/colour_cli.h"

#include <CLI/CLI.hpp>

#include "control/view.h"

namespace zd {

void add_colour_options(CLI::App& app, ColourOptions& o) {
  app.add_option("--colour", o.colour);
  app.add_option("--palette", o.palette);
}

bool read_colour_options(const CLI::App& app, const ColourOptions& o, Cmdline& cmd, std::string& err) {
  if (app.count("--colour")) {
    const auto c = colours_of(o.colour);
    if (!c) {
      err = "--colour \"" + o.colour + "\" is not one of " + colours_names();
      return false;
    }
    cmd.colours = *c;
  }
  if (app.count("--palette")) {
    if (o.palette.empty()) {
      err = "--palette needs a file name, not an empty one";
      return false;
    }
    cmd.palette = read_palette(o.palette, err);
    if (!cmd.palette) return false;
  }
  return true;
}

Colouring colouring_of(const Cmdline& cmd) {
  return Colouring(cmd.colours, prog.mycoltab, cmd.palette ? *cmd.palette : Palette::builtin());
}

std::string remake_window(int width, int height) {
  return remake_command(prog.shown_view, PictureOf{false, width, height}, prog.shown_colours,
                        prog.colouring.palette().file);
}

std::string shell_word(const std::string& s) {
  const bool plain = !s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                       "0123456789_./,:+=@%^-") == std::string::npos;
  if (plain) return s;
  std::string q = "'";
  for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string colour_arguments(Colours kind, const std::string& palette) {
  std::string a;
  if (kind != Colours::Design) a += std::string(" --colour ") + colours_name(kind);
  if (!palette.empty()) a += " --palette " + shell_word(palette);
  return a;
}

std::string colour_arguments(const Colouring& c) { return colour_arguments(c.kind(), c.palette().file); }

std::string remake_command(const View& v, const PictureOf& what, Colours kind, const std::string& palette) {
  std::string cmd = "zoomdive-render --view " + v.numbers();
  const std::string size = std::to_string(what.width) + "x" + std::to_string(what.height);
  if (what.poster) {
    cmd += " --size " + size;
    if (what.supersample != 1) cmd += " --supersample " + std::to_string(what.supersample);
  } else if (what.width != DESIGN_W || what.height != DESIGN_H) {
    cmd += " --window " + size;
  }
  return cmd + colour_arguments(kind, palette);
}

}  // namespace zd
