// explorer_cli.h — zoomdive: the explorer in a window on the desktop.
#pragma once

namespace zd {

// The whole program; returns its exit status (0 ended by the user, 1 no window, 2 unusable
// arguments).
int explorer_main(int argc, const char* const* argv);

}  // namespace zd
