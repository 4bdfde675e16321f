#include "Driver.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Board.h"
#include "EnvUtil.h"
#include "Staging.h"
#include "UFile.h"
#include "UpgradeScript.h"

namespace {

const char kImageVariable[] = "image";
const char kBadImage[] = "Invalid firmware image file, badimage, abort";

// The run's lock, released when main returns (or the process ends).
class RunLock {
 public:
  RunLock() = default;
  ~RunLock() {
    if (fd_ >= 0) close(fd_);
  }
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  // 0 when held; -1 when another run holds it; -2 when it cannot be had.
  int Take() {
    // /tmp is open to all: a link or another user's file there must not become the lock.
    fd_ = open(board().run_lock, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -2;
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      errno = EPERM;
      return -2;
    }
    if (flock(fd_, LOCK_EX | LOCK_NB) == 0) return 0;
    return errno == EWOULDBLOCK ? -1 : -2;
  }

 private:
  int fd_ = -1;
};

// true when path and prefix name the same place, or path lies below prefix (both resolved).
bool Below(const char* path, const char* prefix) {
  char real[PATH_MAX];
  if (!realpath(prefix, real)) return false;
  const size_t n = strlen(real);
  return strncmp(path, real, n) == 0 && path[n] == '/';
}

// A directory argument runs the package already unpacked in /tmp/update: any other directory
// would run a stale package that the caller never named.
bool IsWorkDir(const char* arg) {
  char named[PATH_MAX], work[PATH_MAX];
  struct stat st;
  return realpath(arg, named) && realpath(board().work_dir, work) && strcmp(named, work) == 0 &&
         lstat(board().work_dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid();
}

// Moves or unwraps the package into /tmp/update; the staged path goes into staged.
int Stage(bool tgz, const char* source, const char* name, char* staged, size_t size) {
  return tgz ? PrepareFromTarFile(source, staged, size, name) : PrepareFromImgFile(source, staged, size);
}

int BadImage() {
  puts(kBadImage);
  return -1;
}

}  // namespace

int RunSlotScript() {
  EnvUtil env(board().env_block, EnvUtil::kBlockSize);
  if (!env.HasKey(kImageVariable)) {
    puts("cannot find image environment variable, abort");
    return -1;
  }
  char name[32];
  snprintf(name, sizeof name, "fwupdate_%d", env.GetIntValue(kImageVariable));
  UpgradeScript script(nullptr);
  script.m_sScriptDir = board().work_dir;
  // A script cut at the reading limit or at a NUL byte could end mid-number and run a line it
  // never held: such a script runs not at all.
  if (CheckUpdateFile(name) < 0 || script.LoadFile(name) < 0) {
    printf("fail to open %s, badimage, abort\n", name);
    return -1;
  }
  printf("Total Block to Write = %d\n", script.GetBlockNumToWrite());
  fflush(stdout);
  script.Run();
  return 0;
}

namespace {

// Stages the package named by arg into the working directory (saving the user partition on the
// way). 0 when staged; -1 when refused, after its message.
int StagePackage(const char* arg) {
  if (CheckWorkingDir() < 0) return BadImage();
  // An unmount that will fail must fail before the working directory, with the user copy an
  // earlier run left there, is emptied.
  if (!UserPartitionMounted()) {
    printf("umount user partition failed , error code = %d, Abort\n", EINVAL);
    return -1;
  }
  const bool tgz = strstr(arg, ".tgz") != nullptr;
  const bool img = !tgz && strstr(arg, ".img") != nullptr;
  // A package inside the working directory is set aside before the directory is emptied, one on
  // the user partition staged before the partition is unmounted.
  char real[PATH_MAX];
  const bool resolved = (tgz || img) && realpath(arg, real);
  const bool in_work = resolved && Below(real, board().work_dir);
  const bool in_user = resolved && Below(real, board().user_mount);
  const char* slash = strrchr(arg, '/');
  const std::string name = slash ? slash + 1 : arg;
  std::string source = resolved ? real : arg;
  if (PrepareWorkingDir(in_work ? real : nullptr, &source) < 0) return BadImage();
  char staged[kStagedPathSize];
  staged[0] = '\0';
  if (in_user && Stage(tgz, source.c_str(), name.c_str(), staged, sizeof staged) < 0) return BadImage();
  if (SaveUserPartition() < 0) return -1;
  if ((tgz || img) && !in_user) {
    const int rc = Stage(tgz, source.c_str(), name.c_str(), staged, sizeof staged);
    if (in_work && img) unlink(source.c_str());
    if (rc < 0) return BadImage();
  }
  if ((tgz || img) && UntarUpdateFile(staged) < 0) return BadImage();
  return 0;
}

// A package that carries an updater hands over to it: the caller runs the printed line.
int HandOver() {
  // The caller runs the printed line as root: it must name a program, not a directory or a file
  // that cannot run.
  const std::string carried = std::string(board().work_dir) + "/" + kCarriedUpdater;
  if (!IsExecutableFile(carried.c_str())) {
    printf("%s is not an executable file, badimage, abort\n", kCarriedUpdater);
    return -1;
  }
  printf("%s/fwapply %s", board().work_dir, board().work_dir);
  fflush(stdout);
  return 0;
}

}  // namespace

int FwApplyMain(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage();
    return 0;
  }
  // Two runs at once would empty and refill /tmp/update under each other. A carried updater
  // starts after this run has ended, so the hand-over is never kept out.
  RunLock lock;
  if (int rc = lock.Take()) {
    if (rc == -1) {
      puts("another fwapply is running, abort");
    } else {
      printf("cannot take the lock %s (%s), abort\n", board().run_lock, strerror(errno));
    }
    return -1;
  }
  const char* arg = argv[1];
  if (UFile::IsDir(arg)) {
    if (!IsWorkDir(arg)) {
      fprintf(stderr, "%s is not the working directory %s\n", arg, board().work_dir);
      return BadImage();
    }
    return RunSlotScript();
  }
  if (StagePackage(arg) < 0) return -1;
  if (CheckUpdateFile(kCarriedUpdater) == 0) return HandOver();
  return RunSlotScript();
}
