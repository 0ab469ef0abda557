// render_cli.h — zoomdive-render: the explorer's start-up and first picture on the headless
// backend, written to files.
#pragma once

namespace zd {

// The whole program; returns its exit status (0 done, 1 an output failed, 2 unusable arguments).
int render_main(int argc, const char* const* argv);

}  // namespace zd
