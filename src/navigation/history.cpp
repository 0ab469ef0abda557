// history.cpp — the gestures' views on two stacks.
#include "navigation/history.h"

namespace zd {

void History::step(Gesture kind, const View& before) {
  if (kind == current_ && kind != Gesture::Key) return;
  current_ = kind;
  back_.push_back(before);
  if (back_.size() > DEPTH) back_.pop_front();
  forward_.clear();
}

bool History::undo(View& view) {
  current_ = Gesture::None;
  if (back_.empty()) return false;
  forward_.push_back(view);
  view = back_.back();
  back_.pop_back();
  return true;
}

bool History::redo(View& view) {
  current_ = Gesture::None;
  if (forward_.empty()) return false;
  back_.push_back(view);
  view = forward_.back();
  forward_.pop_back();
  return true;
}

}  // namespace zd
