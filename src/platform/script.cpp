// script.cpp — parsing recorded input and playing it through the headless devices.
#include "platform/script.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "display/colouring.h"

namespace zd {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Splits a line into fields separated by blanks.
std::vector<std::string_view> fields_of(std::string_view line) {
  std::vector<std::string_view> f;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !is_blank(line[i])) ++i;
    if (i > start) f.push_back(line.substr(start, i - start));
  }
  return f;
}

std::string quoted(std::string_view s) {
  std::string q(1, '"');
  q.append(s);
  q.push_back('"');
  return q;
}

bool parse_buttons(std::string_view s, int& mask, std::string& what) {
  mask = 0;
  if (s == "-") return true;
  for (const char c : s) {
    const int bit = c == 'L' ? 1 : c == 'M' ? 2 : c == 'R' ? 4 : 0;
    if (bit == 0) {
      what = "buttons " + quoted(s) + ": '" + std::string(1, c) +
             "' is not one of L, M, R ('-' for no button)";
      return false;
    }
    if (mask & bit) {
      what = "buttons " + quoted(s) + ": '" + std::string(1, c) + "' given twice";
      return false;
    }
    mask |= bit;
  }
  return true;
}

// An optional sign and decimal digits, within the range of int.
bool parse_offset(std::string_view s, const char* name, int& v, std::string& what) {
  std::size_t i = 0;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) {
    what = std::string(name) + " " + quoted(s) + " is not an integer";
    return false;
  }
  long long mag = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') {
      what = std::string(name) + " " + quoted(s) + " is not an integer";
      return false;
    }
    mag = mag * 10 + (s[i] - '0');
    if (mag > static_cast<long long>(INT_MAX) + 1) break;
  }
  const long long val = neg ? -mag : mag;
  if (val < INT_MIN || val > INT_MAX) {
    what = std::string(name) + " " + quoted(s) + " does not fit an int";
    return false;
  }
  v = static_cast<int>(val);
  return true;
}

// A size as a message gives it: in MiB when it is a whole number of them.
std::string in_units(std::size_t bytes) {
  if (bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

const char* const command_words[] = {"", "home", "limit*2", "limit/2", "undo", "redo", "window", "minibrot"};

int command_of(std::string_view word) {
  for (int c = CMD_HOME; c <= CMD_MINIBROT; ++c) {
    if (word == command_words[c]) return c;
  }
  return NO_COMMAND;
}

// A window size WxH, each side from 1 to 65536.
bool parse_size(std::string_view s, int& w, int& h) {
  const std::size_t x = s.find('x');
  if (x == std::string_view::npos) return false;
  int v[2] = {0, 0};
  const std::string_view part[2] = {s.substr(0, x), s.substr(x + 1)};
  for (int i = 0; i < 2; ++i) {
    if (part[i].empty() || part[i].size() > 5) return false;
    for (const char c : part[i]) {
      if (c < '0' || c > '9') return false;
      v[i] = v[i] * 10 + (c - '0');
    }
    if (v[i] < 1 || v[i] > 65536) return false;
  }
  w = v[0];
  h = v[1];
  return true;
}

}  // namespace

std::string format_line(const ScriptLine& s) {
  if (s.command == CMD_RESIZE) {
    return "window " + std::to_string(s.width) + "x" + std::to_string(s.height);
  }
  if (s.command >= CMD_COLOUR) return std::string("colour ") + colours_name(static_cast<Colours>(s.command - CMD_COLOUR));
  if (s.command != NO_COMMAND) return command_words[s.command];
  char b[4] = "-";
  int n = 0;
  if (s.buttons & 1) b[n++] = 'L';
  if (s.buttons & 2) b[n++] = 'M';
  if (s.buttons & 4) b[n++] = 'R';
  char line[48];
  std::snprintf(line, sizeof line, "%s %d %d", b, s.dx, s.dy);
  return line;
}

bool ScriptReader::fault(std::string what) {
  what_ = std::move(what);
  failed_ = true;
  return false;
}

bool ScriptReader::feed(std::string_view bytes) {
  if (failed_) return false;
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::size_t piece = end == std::string_view::npos ? bytes.size() : end + 1;
    bytes_ += piece;
    if (bytes_ > bounds_.bytes) {
      ++number_;
      return fault("the script is longer than " + in_units(bounds_.bytes));
    }
    if (partial_.size() + (end == std::string_view::npos ? piece : end) > bounds_.line) {
      ++number_;
      return fault("a line longer than " + in_units(bounds_.line));
    }
    if (end == std::string_view::npos) {
      partial_.append(bytes);
      return true;
    }
    if (partial_.empty()) {
      if (!take(bytes.substr(0, end))) return false;
    } else {
      partial_.append(bytes.substr(0, end));
      const std::string line = std::move(partial_);
      partial_.clear();
      if (!take(line)) return false;
    }
    bytes.remove_prefix(piece);
  }
  return true;
}

bool ScriptReader::finish() {
  if (failed_) return false;
  if (partial_.empty()) return true;
  const std::string line = std::move(partial_);
  partial_.clear();
  return take(line);
}

bool ScriptReader::take(std::string_view line) {
  if (++number_ > bounds_.lines) {
    return fault("the script has more than " + std::to_string(bounds_.lines) + " lines");
  }
  // Comments are skipped unread: they may be long.
  const std::size_t first = line.find_first_not_of(" \t\r\v\f");
  if (first == std::string_view::npos || line[first] == '#') return true;
  const auto f = fields_of(line);
  std::string what;
  if (line.find('\0') != std::string_view::npos) {
    what = "a NUL byte in the line (is this a text file?)";
  } else if (f.size() == 1 && command_of(f[0]) != NO_COMMAND && command_of(f[0]) != CMD_RESIZE) {
    out_.push_back(ScriptLine{0, 0, 0, command_of(f[0])});
    return true;
  } else if (!f.empty() && f[0] == "window") {
    ScriptLine s{0, 0, 0, CMD_RESIZE};
    if (f.size() == 2 && parse_size(f[1], s.width, s.height)) {
      out_.push_back(s);
      return true;
    }
    what = "expected window WxH, W and H from 1 to 65536";
  } else if (!f.empty() && f[0] == "colour") {
    const auto c = f.size() == 2 ? colours_of(std::string(f[1])) : std::nullopt;
    if (c) {
      out_.push_back(ScriptLine{0, 0, 0, CMD_COLOUR + static_cast<int>(*c)});
      return true;
    }
    what = "expected colour NAME, NAME one of " + colours_names();
  } else if (f.size() != 3) {
    what = "expected BUTTONS DX DY, found " + std::to_string(f.size()) +
           (f.size() == 1 ? " field" : " fields") +
           " (or a key: home, limit*2, limit/2, undo, redo, minibrot, window WxH, colour NAME)";
  } else {
    ScriptLine s{};
    if (parse_buttons(f[0], s.buttons, what) && parse_offset(f[1], "DX", s.dx, what) &&
        parse_offset(f[2], "DY", s.dy, what)) {
      out_.push_back(s);
      return true;
    }
  }
  return fault(std::move(what));
}

bool parse_script(std::string_view text, std::vector<ScriptLine>& out, int& bad_line,
                  std::string& what) {
  ScriptReader r(out);
  if (r.feed(text) && r.finish()) return true;
  bad_line = r.line();
  what = r.what();
  return false;
}

bool load_script(const std::string& path, std::vector<ScriptLine>& out, std::string& err) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    err = path + ":1: cannot read the script: " + std::strerror(errno);
    return false;
  }
  ScriptReader r(out);
  char buf[1 << 16];
  bool ok = true;
  std::size_t n;
  while (ok && (n = std::fread(buf, 1, sizeof buf, f)) > 0) ok = r.feed({buf, n});
  const int fault = ok && std::ferror(f) ? (errno ? errno : EIO) : 0;
  std::fclose(f);
  if (fault != 0) {
    // The line being read when it failed: the lines before it arrived whole.
    err = path + ":" + std::to_string(r.line() + 1) + ": cannot read the script: " +
          std::strerror(fault);
    return false;
  }
  if (ok && r.finish()) return true;
  err = path + ":" + std::to_string(r.line()) + ": " + r.what();
  return false;
}

}  // namespace zd
