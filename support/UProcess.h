// Running a program: fork and exec with an argument vector, never through a shell, so text from
// a package or a command line stays one argument whatever characters it holds.
#pragma once

// Runs argv[0] (looked up in PATH) with argv, waits for it and returns its exit status: 127 when
// it could not be started, 128 + the signal when one ended it, -1 when fork failed.
int RunCommand(const char* const* argv);
