// fwcheck's command line: fwcheck [--layout FILE] [--spare PERCENT] [--json] PACKAGE.
// Exit status 0 when clean, 1 with warnings only, 2 with errors, 64 for a usage error.
#pragma once

int FwcheckMain(int argc, char** argv);
