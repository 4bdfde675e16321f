#include "tool_report.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void tool_verrmsg(const char* tool, const char* fmt, va_list ap) {
  fprintf(stderr, "%s: error!: ", tool);
  vfprintf(stderr, fmt, ap);
}

void tool_errmsg(const char* tool, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  tool_verrmsg(tool, fmt, ap);
  va_end(ap);
}

void tool_errno_line(const char* tool, int err) {
  fprintf(stderr, "%*serror %d (%s)\n", static_cast<int>(strlen(tool) + 2), "", err, strerror(err));
}

void* tool_xmalloc(const char* tool, size_t size) {
  void* p = malloc(size);
  if (!p && size) {
    int err = errno;
    tool_errmsg(tool, "out of memory\n");
    tool_errno_line(tool, err);
    tool_exit(-1);
  }
  return p;
}

namespace {
void (*exit_hook)(int) = nullptr;
}  // namespace

void tool_set_exit_hook(void (*hook)(int status)) { exit_hook = hook; }

void tool_exit(int status) {
  if (exit_hook) exit_hook(status);
  exit(status);
}
