// main_explorer.cpp — entry of zoomdive.
#include "control/explorer_cli.h"

int main(int argc, char** argv) { return zd::explorer_main(argc, argv); }
