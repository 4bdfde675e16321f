// The board's version file as chkver reads it: any contents, against a fixed requirement.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "Board.h"
#include "UpgradeScript.h"

namespace {

std::string g_dir;

void RemoveDir() {
  unlink((g_dir + "/version").c_str());
  rmdir(g_dir.c_str());
}

const std::string& Dir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/fuzz_version.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_dir = tmpl;
    atexit(RemoveDir);
    // No system-log service: a refused version sends nothing and waits for no answer.
    static BoardPlaces places = board_default();
    places.log_service = nullptr;
    board_install(&places);
    return std::string(tmpl);
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Dir() + "/version";
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();

  // The requirement comes from the first input byte, so both verdicts are reachable.
  const int major = size ? data[0] % 4 : 1;
  char line[512];
  snprintf(line, sizeof line, "chkver %s %d.%d\n", path.c_str(), major, size > 1 ? data[1] % 10 : 0);
  UpgradeScript script;
  script.m_sScriptDir = Dir();
  script.m_sScript = line;
  const int rc = script.Run();
  if (rc != 0 && rc != -1) abort();
  return 0;
}
