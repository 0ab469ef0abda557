// whole.h — the navigation loop's pictures: the window's picture and its size, the renderer's
// orders from the program's state, the whole picture of the view, and what the user does
// meanwhile.
#pragma once

#include "compute/bandrec.h"

namespace zd {

// Makes the window's picture width x height (the smallest window at least), all black, with the
// geometry of the whole picture; the next step computes it.
void picture_size(int width, int height);

// The view of the window's picture (View::fitted at its size).
View picture_view();

// The blocks of a dive's coarse frame for a width x height picture: 4, as the design's, or as
// many times 2 more as keep the frame within twice the design's number of points (8 at
// 1280 x 720), so that a held button steps at the same pace at any size.
int preview_block(int width, int height);

// The renderer's orders for the picture's columns LOX .. LOX+XPTS-1, from the program's state.
// direct: the whole picture's region (picture_view().region(0, 0, width, height)), which the
// points are taken from at every size but the design's; it must outlive the call.
Rendering rendering(const Region& direct);

// Makes the kernel for pv, the picture's view, ready (between pictures; it may take long for a
// deep view). False if the user left meanwhile: nothing is computed.
bool prepare_kernel(const View& pv);

// Renders the whole picture of the current view, then clears no_firstpass.
void whole_picture();

// The small copy of the set of lowest period whose nucleus lies near the centre of v: the ball
// method in the disc of v's half-height, then Newton's method to the bits its size needs; if that
// finds none, or one not smaller than 1/COPY_SMALL of the half-height, the same in a disc a
// quarter as wide, up to COPY_SHRINKS times (a large one is taken if no small one is found).
// v becomes the view centred on its nucleus, in the default orientation, of half-height
// COPY_FRAME times its size estimate, with a limit of at least COPY_LIMIT times its period. Its
// period; 0 if there is none, -1 if the user left meanwhile (the search polls as a long picture
// does), and v is unchanged then.
constexpr double COPY_FRAME = 3.0, COPY_LIMIT = 50.0, COPY_SMALL = 16.0;
constexpr int COPY_SHRINKS = 4;
int find_copy(View& v);

// Whether the user wants to leave, asking the window system now and then (main thread): a long
// preparation looks at it. Also shows the progress of a long picture in the window's title.
bool user_left();

}  // namespace zd
