#include "Staging.h"

#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "UFile.h"
#include "UFileSystem.h"

const char* const kWorkDir = "/tmp/update";
const char* const kUserMount = "/mnt/user";
const char* const kUserLink = "/tmp/user";
const char* const kCarriedUpdater = "fwapply";

namespace {

// Layout of an image file.
const long long kImgNameOffset = 393;
const unsigned int kImgNameSize = 36;
const long long kImgDataOffset = static_cast<long long>(kImgHeaderSize);
const long long kImgMinSize = 428;      // an image must be longer than this
const long long kImgTrailer = 4;
const unsigned int kCopyChunk = 0x100000;

// Commands are run without a shell: package and command-line text never reaches one, so
// metacharacters in a path stay part of the name.
int Run(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return RunCommand(argv.data());
}

// The shell's "pattern*" expansion: sorted matches without dot files, or the pattern itself
// when nothing matches, so the command sees what it would have seen from the shell.
void AppendGlob(std::vector<std::string>* args, const std::string& pattern) {
  glob_t g;
  memset(&g, 0, sizeof g);
  if (glob(pattern.c_str(), GLOB_NOCHECK, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; i++) args->push_back(g.gl_pathv[i]);
  } else {
    args->push_back(pattern);
  }
  globfree(&g);
}

// "%s/%s" into buf; false when it does not fit.
bool JoinPath(char* buf, size_t size, const char* dir, const char* name) {
  if (!buf || size == 0) return false;
  int n = snprintf(buf, size, "%s/%s", dir, name);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    buf[0] = '\0';
    return false;
  }
  return true;
}

bool WriteAll(int fd, const unsigned char* buf, size_t len) {
  while (len > 0) {
    unsigned int chunk = len > kCopyChunk ? kCopyChunk : static_cast<unsigned int>(len);
    int n = UFile::Write(fd, buf, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buf += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int RunCommand(const char* const* argv) {
  if (!argv || !argv[0]) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execvp(argv[0], const_cast<char* const*>(argv));
    // Same words as the shell would have used, so the caller's log reads alike.
    const char* msg = ": not found\n";
    if (write(2, argv[0], strlen(argv[0])) < 0 || write(2, msg, strlen(msg)) < 0) {
    }
    _exit(127);  // _exit: the parent's buffered stdout must not be written twice
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int ParseImgHeader(const unsigned char* header, size_t size, std::string& name) {
  name.clear();
  if (!header || size < kImgHeaderSize) return -1;
  const char* field = reinterpret_cast<const char*>(header) + kImgNameOffset;
  name.assign(field, strnlen(field, kImgNameSize));
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
    name.clear();
    return -1;
  }
  return 0;
}

void PrintUsage() { puts("usage : fwapply <firmware image file>"); }

int CheckUpdateFile(const char* name) {
  printf("Checking %s \n", name);
  char path[256];
  if (JoinPath(path, sizeof path, kWorkDir, name) && UFile::Exist(path)) return 0;
  printf("%s is not found in image\n", name);
  return -1;
}

int UntarUpdateFile(const char* path) {
  if (!path || !UFile::Exist(path)) return 0;
  printf("Extract %s \n", path);
  Run({"tar", "-xzf", path, "-C", kWorkDir});
  Run({"rm", "--", path});
  return 0;
}

int PrepareWorkingDir() {
  if (!UFile::Exist(kWorkDir)) {
    Run({"mkdir", kWorkDir});
    Run({"mount", "-t", "tmpfs", "tmpfs", kWorkDir, "-o", "size=256m"});
  } else {
    std::vector<std::string> rm = {"rm", "-rf"};
    AppendGlob(&rm, std::string(kWorkDir) + "/*");
    Run(rm);
  }
  const std::string user_copy = std::string(kWorkDir) + "/user";
  Run({"mkdir", user_copy});
  std::vector<std::string> cp = {"cp"};
  AppendGlob(&cp, std::string(kUserMount) + "/*");
  cp.push_back(user_copy);
  Run(cp);
  Run({"rm", "-r", kUserLink});
  Run({"ln", "-s", user_copy, kUserLink});
  sync();
  if (!UFileSystem::Umount(kUserMount)) {
    printf("umount user partition failed , error code = %d, Abort\n", errno);
    exit(-1);
  }
  return 1;
}

int PrepareFromTarFile(const char* path, char* staged, size_t stagedSize) {
  const char* slash = strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  if (!JoinPath(staged, stagedSize, kWorkDir, base)) {
    fprintf(stderr, "package path too long: %s\n", path);
    return -1;
  }
  // "--": a package named "-x.tgz" is a file, not an option.
  Run({"mv", "--", path, kWorkDir});
  return 0;
}

int PrepareFromImgFile(const char* path, char* staged, size_t stagedSize) {
  if (staged && stagedSize > 0) staged[0] = '\0';
  int in = UFile::Open(path, O_RDWR);
  if (in < 0) return -1;
  long long size = UFile::GetFileSize(in);
  if (size <= kImgMinSize) {
    UFile::Close(in);
    return -1;
  }
  // The whole header is read, so the copy below continues right after it.
  unsigned char header[kImgHeaderSize];
  int got = UFile::Read(in, header, sizeof header);
  if (got != static_cast<int>(sizeof header)) {
    UFile::Close(in);
    return -1;
  }
  std::string name;
  if (ParseImgHeader(header, sizeof header, name) < 0) {
    fprintf(stderr, "image name field is not a plain file name\n");
    UFile::Close(in);
    return -1;
  }
  if (!JoinPath(staged, stagedSize, kWorkDir, name.c_str())) {
    UFile::Close(in);
    return -1;
  }
  // O_TRUNC: a file left over in the working directory must not leave its tail behind the
  // package. O_NOFOLLOW: nor may a link there redirect the write.
  int out = UFile::Create(staged, O_TRUNC | O_NOFOLLOW);
  if (out < 0) {
    UFile::Close(in);
    staged[0] = '\0';
    return -1;
  }
  std::vector<unsigned char> buf(kCopyChunk);
  bool ok = true;
  long long copied = 0;
  // The copy stops once it has passed size - 433, so the last read normally carries the final
  // four bytes along; only a remainder of 1 to 4 bytes past a whole chunk is left out.
  while (size - kImgDataOffset - kImgTrailer > copied) {
    int n = UFile::Read(in, buf.data(), kCopyChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {  // the image shrank or the medium failed: the package would be cut short
      ok = false;
      break;
    }
    copied += n;
    if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) {  // e.g. the RAM disk is full
      ok = false;
      break;
    }
  }
  UFile::Close(in);
  if (!UFile::Close(out)) ok = false;
  if (!ok) {
    fprintf(stderr, "cannot write %s\n", staged);
    unlink(staged);
    staged[0] = '\0';
    return -1;
  }
  return 0;
}
