// script.cpp — parsing recorded input and playing it through the headless devices.
#include "platform/script.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

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

const char* const command_words[] = {"", "home", "limit*2", "limit/2"};

int command_of(std::string_view word) {
  for (int c = CMD_HOME; c <= CMD_FEWER_ITERATIONS; ++c) {
    if (word == command_words[c]) return c;
  }
  return NO_COMMAND;
}

}  // namespace

std::string format_line(const ScriptLine& s) {
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

bool parse_script(std::string_view text, std::vector<ScriptLine>& out, int& bad_line,
                  std::string& what) {
  out.clear();
  int number = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;

    const auto f = fields_of(line);
    if (f.empty() || f[0][0] == '#') continue;
    if (line.find('\0') != std::string_view::npos) {
      what = "a NUL byte in the line (is this a text file?)";
    } else if (f.size() == 1 && command_of(f[0]) != NO_COMMAND) {
      out.push_back(ScriptLine{0, 0, 0, command_of(f[0])});
      continue;
    } else if (f.size() != 3) {
      what = "expected BUTTONS DX DY, found " + std::to_string(f.size()) +
             (f.size() == 1 ? " field" : " fields") + " (or a key: home, limit*2, limit/2)";
    } else {
      ScriptLine s{};
      if (parse_buttons(f[0], s.buttons, what) && parse_offset(f[1], "DX", s.dx, what) &&
          parse_offset(f[2], "DY", s.dy, what)) {
        out.push_back(s);
        continue;
      }
    }
    bad_line = number;
    return false;
  }
  return true;
}

bool load_script(const std::string& path, std::vector<ScriptLine>& out, std::string& err) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string text;
  int fault = f ? 0 : errno;
  if (f) {
    char buf[1 << 16];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    if (std::ferror(f)) fault = errno ? errno : EIO;
    std::fclose(f);
  }
  if (fault != 0) {
    // The line being read when it failed: the lines before it arrived whole.
    const long line = 1 + std::count(text.begin(), text.end(), '\n');
    err = path + ":" + std::to_string(line) + ": cannot read the script: " + std::strerror(fault);
    return false;
  }
  int bad = 0;
  std::string what;
  if (!parse_script(text, out, bad, what)) {
    err = path + ":" + std::to_string(bad) + ": " + what;
    return false;
  }
  return true;
}

void ScriptedInput::attach(HeadlessState& hs) {
  hs.on_read = [this](HeadlessState& s, int) { read(s); };
  hs.on_warp = [this](HeadlessState& s, int dev) { warp(s, dev); };
  hs.on_write = [this, then = hs.on_write](const HeadlessState& s) {
    clock_.write();
    if (then) then(s);
  };
}

void ScriptedInput::read(HeadlessState& hs) {
  if (clock_.read()) activate(hs);
}

void ScriptedInput::warp(HeadlessState& hs, int dev) {
  if (clock_.warp(dev)) activate(hs);
}

void ScriptedInput::activate(HeadlessState& hs) {
  ScriptLine s{4, 0, 0};  // past the end: the right button alone, the pointer at the centre
  if (next_ < lines_.size()) {
    s = lines_[next_++];
  } else {
    ended_ = true;
  }
  if (s.command != NO_COMMAND) {
    hs.command = s.command;
    hs.mousex.value = 640;
    hs.mousey.value = 512;
    return;
  }
  hs.buttons[LEFTMOUSE - RIGHTMOUSE] = (s.buttons & 1) != 0;
  hs.buttons[MIDDLEMOUSE - RIGHTMOUSE] = (s.buttons & 2) != 0;
  hs.buttons[RIGHTMOUSE - RIGHTMOUSE] = (s.buttons & 4) != 0;
  hs.mousex.value = static_cast<int>(std::clamp(640LL + s.dx, 0LL, 1279LL));
  hs.mousey.value = static_cast<int>(std::clamp(512LL + s.dy, 0LL, 1023LL));
}

}  // namespace zd
