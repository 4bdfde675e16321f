// fwsim: a package's update run on a simulated board, for package authors.
#include "Fwsim.h"

int main(int argc, char** argv) { return FwsimMain(argc, argv); }
