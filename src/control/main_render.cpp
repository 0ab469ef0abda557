// main_render.cpp — entry of zoomdive-render.
#include "control/render_cli.h"

int main(int argc, char** argv) { return zd::render_main(argc, argv); }
