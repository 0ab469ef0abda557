// location.cpp — reading and writing location files.
#include "control/location.h"

#include <cmath>
#include <cstdio>
#include <sstream>

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

}  // namespace

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
