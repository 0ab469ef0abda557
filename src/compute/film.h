// film.h — dive films: frames from a start height down (or up) to a target view at a steady
// pace, each a poster of its view, or made from keyframes (larger pictures, one per doubling
// of the zoom) by resampling.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "compute/poster.h"
#include "compute/viewpoint.h"
#include "display/colouring.h"

namespace zd {

// A film: `frames` frames of width x height, all centred on the target's centre, the first of
// half-height start_height, each next smaller (or larger) by one factor, the last the target.
struct FilmPlan {
  View target;
  int width = DESIGN_W, height = DESIGN_H;
  long long frames = 1;
  double start_height = 1.5;
};

// Doublings of the zoom from frame k's view to the target's: log2 of their half-heights' ratio.
double film_depth(const FilmPlan& f, long long k);
// Frame k's view (0-based): the target's centre and limit, its half-extents times 2^depth. The
// last is the target itself.
View film_view(const FilmPlan& f, long long k);

// Frames made from keyframes. Keyframe m is a poster of the target's centre at 2^m times the
// target's half-extents (and a few pixels more), with twice the frames' pixels a side, so that
// no frame it serves is upsampled. A frame between keyframes m and m + 1 resamples both and
// blends them: m + 1's detail fades in from the start of the doubling to its end, so that the
// film has no seams in time. A frame depends on its index and the plan alone: parts of a film
// made apart are the film.
class KeyframeFilm {
 public:
  KeyframeFilm(const FilmPlan& plan, const PosterShape& shape, const Colouring& colouring);
  ~KeyframeFilm();
  KeyframeFilm(const KeyframeFilm&) = delete;
  KeyframeFilm& operator=(const KeyframeFilm&) = delete;

  // Frame k (0-based) handed to sink in bands of rows, as render_poster hands a poster's: the
  // bands computed and encoded on every thread, written in order. Keyframes it needs are
  // computed (told to rows_done, in the frame's rows) and those the frames after it do not
  // need are let go. Returns "" or the sink's message or why a keyframe could not be made.
  std::string frame(long long k, const PosterSink& sink, const RowsDone& rows_done = {});
  // The same as 8-bit RGB, top row first, into rgb.
  std::string frame(long long k, std::vector<std::uint8_t>& rgb, const RowsDone& rows_done = {});

  // Keyframes held now, the most held at once, and computed so far.
  int held() const { return static_cast<int>(keys_.size()); }
  int most_held() const { return most_held_; }
  long long computed() const { return computed_; }

 private:
  struct Layer;
  struct Key;
  std::string need(long long m, const RowsDone& rows_done);

  FilmPlan plan_;
  PosterShape shape_;
  const Colouring colouring_;  // its own copy: callers may pass a temporary
  std::map<long long, std::unique_ptr<Key>> keys_;
  int most_held_ = 0;
  long long computed_ = 0;
};

}  // namespace zd
