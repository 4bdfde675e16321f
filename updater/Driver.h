// The updater's whole run: command line, one run at a time, staging of the package, hand-over to
// a carried updater, choice of the boot slot's script and its run. main() only calls FwApplyMain.
#pragma once

// Everything main does; returns 0 or -1 (the parent sees 0 or 255). Only the NAND tools end the
// process themselves (tool_exit: 255 or 1).
int FwApplyMain(int argc, char** argv);

// The script of the current boot slot: "image" from the boot environment on /dev/mtdblock4
// selects /tmp/update/fwupdate_<image>, whose budget is printed before it runs. 0 when it ran,
// -1 when the variable is missing or the script is missing or cannot be read whole.
int RunSlotScript();
