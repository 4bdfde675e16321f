// The board's version file as chkver reads it: any contents, against a fixed requirement.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "Board.h"
#include "UpgradeScript.h"

namespace {

// The file lives in memory and is named by its /proc link, a regular file as chkver wants.
const int g_fd = memfd_create("version", 0);
const std::string g_path = "/proc/self/fd/" + std::to_string(g_fd);

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No system-log service: a refused version sends nothing and waits for no answer.
  static BoardPlaces places = board_default();
  places.log_service = nullptr;
  board_install(&places);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_fd, 0) != 0 || (size && pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size))) abort();
  // The requirement comes from the first input byte, so both verdicts are reachable.
  char line[512];
  snprintf(line, sizeof line, "chkver %s %d.%d\n", g_path.c_str(), size ? data[0] % 4 : 1,
           size > 1 ? data[1] % 10 : 0);
  UpgradeScript script;
  script.m_sScript = line;
  const int rc = script.Run();
  if (rc != 0 && rc != -1) abort();
  return 0;
}
