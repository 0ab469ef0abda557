// history.h — undo and redo: the view before each gesture of the session, the last DEPTH kept.
#pragma once
#include <cstddef>
#include <deque>

#include "compute/viewpoint.h"

namespace zd {

// What a step of the loop did to the view. Steps of one kind in a row are one gesture: a dive or
// a back-out from press to release, a drag (its end included), a pan between two rests; a key
// is a gesture of its own, and so is a wheel notch (a click: its step is followed by a release).
enum class Gesture { None, Dive, BackOut, Drag, Pan, Key };

class History {
 public:
  static constexpr std::size_t DEPTH = 1000;

  // A step of this kind is about to change the view, which is `before`: unless it goes on with
  // the gesture in progress, a new gesture begins, and what was undone can no longer be redone.
  void step(Gesture kind, const View& before);
  // The gesture in progress, if any, is over (a rest, or a step that changed nothing).
  void rest() { current_ = Gesture::None; }
  // Back to the view before the last gesture, or forward again to the view after the last one
  // undone; `view` is the one shown now. False, and nothing changes, if there is none.
  bool undo(View& view);
  bool redo(View& view);

 private:
  std::deque<View> back_;     // the view before each gesture, the last one last
  std::deque<View> forward_;  // the views undone, the last one undone last
  Gesture current_ = Gesture::None;
};

}  // namespace zd
