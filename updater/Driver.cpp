#include "Driver.h"

#include <stdio.h>
#include <string.h>

#include "EnvUtil.h"
#include "Staging.h"
#include "UFile.h"
#include "UpgradeScript.h"

namespace {

const char kEnvDevice[] = "/dev/mtdblock4";
const char kImageVariable[] = "image";

}  // namespace

int RunSlotScript() {
  EnvUtil env(kEnvDevice, EnvUtil::kBlockSize);
  if (!env.HasKey(kImageVariable)) {
    puts("cannot find image environment variable, abort");
    return -1;
  }
  char name[32];
  snprintf(name, sizeof name, "fwupdate_%d", env.GetIntValue(kImageVariable));
  UpgradeScript script(nullptr);
  script.m_sScriptDir = kWorkDir;
  if (CheckUpdateFile(name) < 0) {
    printf("fail to open %s, badimage, abort\n", name);
    return -1;
  }
  script.LoadFile(name);
  printf("Total Block to Write = %d\n", script.GetBlockNumToWrite());
  fflush(stdout);
  script.Run();
  return 0;
}

int FwApplyMain(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 0;
  }
  const char* arg = argv[1];
  if (!UFile::IsDir(arg)) {
    PrepareWorkingDir();
    char staged[kStagedPathSize];
    staged[0] = '\0';
    bool have_package = false;
    if (strstr(arg, ".tgz")) {
      // A package path too long for the working directory is refused, not cut short.
      if (PrepareFromTarFile(arg, staged, sizeof staged) < 0) {
        puts("Invalid firmware image file, badimage, abort");
        return -1;
      }
      have_package = true;
    } else if (strstr(arg, ".img")) {
      if (PrepareFromImgFile(arg, staged, sizeof staged) < 0) {
        puts("Invalid firmware image file, badimage, abort");
        return -1;
      }
      have_package = true;
    }
    if (have_package) UntarUpdateFile(staged);
    if (CheckUpdateFile(kCarriedUpdater) == 0) {
      printf("%s/fwapply %s", kWorkDir, kWorkDir);
      fflush(stdout);
      return 0;
    }
  }
  return RunSlotScript();
}
