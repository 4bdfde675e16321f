// fwapply: the firmware updater's entry point.
#include "Driver.h"

int main(int argc, char** argv) { return FwApplyMain(argc, argv); }
