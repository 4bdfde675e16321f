// The board's version file as chkver reads it, any contents, against a requirement taken from
// the first two bytes so that both verdicts are reachable.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "Board.h"
#include "UpgradeScript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("version", 0);  // a regular file, named by its /proc link
  static BoardPlaces places = board_default();
  places.log_service = nullptr;  // a refused version sends nothing and waits for no answer
  board_install(&places);
  if (ftruncate(fd, 0) != 0 || (size && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))) abort();
  char line[128];
  snprintf(line, sizeof line, "chkver /proc/self/fd/%d %d.%d\n", fd, size ? data[0] % 4 : 1,
           size > 1 ? data[1] % 10 : 0);
  UpgradeScript script;
  script.m_sScript = line;
  const int rc = script.Run();
  if (rc != 0 && rc != -1) abort();
  return 0;
}
