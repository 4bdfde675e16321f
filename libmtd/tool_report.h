// Error reports of the flash layers and NAND tools: "<tool>: error!: ..." and the indented errno
// line under it, whose indent is the tool name's length plus two so that it lines up under the
// message; and their one way of ending the process.
#pragma once

#include <stdarg.h>
#include <stddef.h>

void tool_errmsg(const char* tool, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void tool_verrmsg(const char* tool, const char* fmt, va_list ap);
void tool_errno_line(const char* tool, int err);

// malloc that ends the process with the tool's report when memory runs out.
void* tool_xmalloc(const char* tool, size_t size);

// Ends the process with a NAND tool's status: -1 (255) for the writer's aborts, 1 for the
// reader's. A test may install a hook that takes over instead (it must not return).
[[noreturn]] void tool_exit(int status);
void tool_set_exit_hook(void (*hook)(int status));
