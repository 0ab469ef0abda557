// location.h — locations as deep-zoom programs exchange them: a centre in the usual orientation,
// a zoom and an iteration count, in a short text file.
#pragma once
#include <array>
#include <optional>
#include <string>

#include "compute/viewpoint.h"

namespace zd {

// The start limit of a location without an Iterations line: the default view's.
constexpr double LOCATION_LIMIT = 50.0;

// A location file's text as the five numbers of --view (xmit ymit xstep ystep maxit): lines
// "Re: A", "Im: B", "Zoom: Z" and maybe "Iterations: N" (other lines ignored) give the centre
// -A, -B (the program's orientation is the mirror image), half-height 2/Z and half-width 4/3 of
// it, both negative as in the default view, and the limit N. Nothing, with err =
// "NAME:LINE: what is wrong", if it cannot be used.
std::optional<std::array<std::string, 5>> location_numbers(const std::string& text, const std::string& name,
                                                           std::string& err);

// The five numbers of --view from the file at `path`: a location text file as above, or a PNG
// that zoomdive wrote (the command line in its "zoomdive" text chunk, whose --view it takes).
// Nothing, with err = one line naming the file, for anything else.
std::optional<std::array<std::string, 5>> location_file(const std::string& path, std::string& err);

// A view as a location file reads it back: for a view of the default orientation and 4:3 shape
// the same view, for any other one its centre, its height and its limit.
std::string location_text(const View& v);
// The same in one line: "RE IM ZOOM LIMIT".
std::string location_line(const View& v);

}  // namespace zd
