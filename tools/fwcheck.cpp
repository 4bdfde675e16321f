// fwcheck: checks an update package for scripts that would brick a board, before it ships.
#include "Fwcheck.h"

int main(int argc, char** argv) { return FwcheckMain(argc, argv); }
