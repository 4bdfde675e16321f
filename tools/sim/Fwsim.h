// fwsim's command line: runs a package's boot slot script with fwapply's own engine on a
// simulated board, once or at every power-cut point. Exit status: fwapply's for a plain run,
// 0 for a map, 2 when the package cannot be run, 64 for a usage error.
#pragma once

int FwsimMain(int argc, char** argv);
