// whole.h — the navigation loop's whole-picture computation.
#pragma once

namespace zd {

// The iteration limit handed to the renderer: maxit truncated toward zero, saturated at the
// ends of int (the truncation of a double outside them would be undefined).
int limit_of(double m);

// Makes the kernel for the current view ready for a width x height picture (between pictures;
// it may take long for a deep view). False if the user left meanwhile: nothing is computed.
bool prepare_kernel(int width, int height);

// Renders the whole picture of the current view, then clears no_firstpass.
void whole_picture();

}  // namespace zd
