#include "Staging.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Board.h"
#include "GzipCheck.h"
#include "UFile.h"
#include "UFileSystem.h"

const char* const kCarriedUpdater = "fwapply";

namespace {

// Layout of an image file.
const long long kImgDataOffset = static_cast<long long>(kImgHeaderSize);
const long long kImgMinSize = 428;  // an image must be longer than this
const unsigned int kCopyChunk = 0x100000;
// Where a package found inside the working directory waits while the directory is emptied.
const char kSetAside[] = ".package";
// What the unpacking of a refused package must not take with it.
const char kUserCopy[] = "user";

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

bool EmptyDirAt(int dir, const char* keep, dev_t dev);

// Removes name below parent; a link is removed, never followed, and nothing on another file
// system is entered.
bool RemoveAt(int parent, const char* name, dev_t dev) {
  struct stat st;
  if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlinkat(parent, name, 0) == 0 || errno == ENOENT;
  if (st.st_dev != dev) return false;
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool emptied = EmptyDirAt(fd, nullptr, dev);
  close(fd);
  return emptied && unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// Every entry of dir but keep, dot files included: a file left from an earlier package must
// never be taken for part of the next one.
bool EmptyDirAt(int dir, const char* keep, dev_t dev) {
  int fd = dup(dir);
  if (fd < 0) return false;
  DIR* d = fdopendir(fd);
  if (!d) {
    close(fd);
    return false;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..") || (keep && !strcmp(e->d_name, keep))) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  bool ok = true;
  for (const std::string& n : names) ok = RemoveAt(dir, n.c_str(), dev) && ok;
  return ok;
}

// Empties the working directory but for keep.
bool EmptyWorkDir(const char* keep) {
  int fd = open(board().work_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  if (fd < 0) return false;
  const bool ok = fstat(fd, &st) == 0 && EmptyDirAt(fd, keep, st.st_dev);
  close(fd);
  return ok;
}

// Copies the package of an image whose header has been read into staged, a new file (which is
// removed and staged emptied when the copy fails).
bool CopyPackage(int in, long long size, char* staged) {
  // O_TRUNC: a file left over in the working directory must not leave its tail behind the
  // package. O_NOFOLLOW: nor may a link there redirect the write.
  int out = UFile::Create(staged, O_TRUNC | O_NOFOLLOW);
  if (out < 0) {
    staged[0] = '\0';
    return false;
  }
  std::vector<unsigned char> buf(kCopyChunk);
  bool ok = true;
  long long copied = 0;
  // The copy stops once it has passed size - 433, so the last read normally carries the final
  // four bytes along; only a remainder of 1 to 4 bytes past a whole chunk is left out.
  while (ok && size - kImgDataOffset - kImgTrailer > copied) {
    int n = UFile::Read(in, buf.data(), kCopyChunk);
    if (n < 0 && errno == EINTR) continue;
    // A shrunk image or a failed medium would cut the package short, a full RAM disk too.
    ok = n > 0 && UFile::WriteAll(out, buf.data(), static_cast<size_t>(n));
    if (ok) copied += n;
  }
  if (!UFile::Close(out)) ok = false;
  if (!ok) {
    fprintf(stderr, "cannot write %s\n", staged);
    unlink(staged);
    staged[0] = '\0';
  }
  return ok;
}

}  // namespace

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
  if (JoinPath(path, sizeof path, board().work_dir, name) && UFile::Exist(path)) return 0;
  printf("%s is not found in image\n", name);
  return -1;
}

int IsExecutableFile(const char* path) {
  struct stat st;
  return path && lstat(path, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0111) ? 1 : 0;
}

int UntarUpdateFile(const char* path) {
  if (!path || !UFile::Exist(path)) return 0;
  printf("Extract %s \n", path);
  // The unpacker's status alone does not prove the package whole: an unpacker may only warn
  // about a cut or damaged stream, and one that warns about trailing bytes (an image file's four
  // final bytes) cannot be told from one that failed. So the gzip members are inflated and
  // checked against their CRC-32 and length first, the bytes after them are cut off, and only
  // then must the unpacker succeed as well (which it does not on a full file system).
  bool intact = false;
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    long long end = 0;
    struct stat st;
    // A FIFO moved in as the package would never end.
    intact = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && GzipCheck(fd, &end) == 0 &&
             (end == st.st_size || ftruncate(fd, end) == 0);
    close(fd);
  }
  if (!intact) fprintf(stderr, "%s is not a whole gzip package\n", path);
  const bool unpacked = intact && Run({"tar", "-xzf", path, "-C", board().work_dir}) == 0;
  unlink(path);
  if (unpacked) return 0;
  if (intact) fprintf(stderr, "%s did not unpack completely\n", path);
  // Half a package must not be left for a later run on the directory to take up.
  EmptyWorkDir(kUserCopy);
  return -1;
}

int CheckWorkingDir() {
  struct stat st;
  if (lstat(board().work_dir, &st) != 0) {
    if (errno == ENOENT) return 0;
    fprintf(stderr, "%s cannot be examined: %s\n", board().work_dir, strerror(errno));
    return -1;
  }
  // Anyone else who could write there could plant a carried updater that the caller then runs
  // as root; a link would lead the emptying and the unpacking elsewhere.
  if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077)) {
    fprintf(stderr, "%s is not a directory of this user's alone\n", board().work_dir);
    return -1;
  }
  return 0;
}

int UserPartitionMounted() {
  struct stat mnt, parent;
  const std::string up = std::string(board().user_mount) + "/..";
  if (stat(board().user_mount, &mnt) != 0 || stat(up.c_str(), &parent) != 0) return 0;
  if (mnt.st_dev != parent.st_dev || mnt.st_ino == parent.st_ino) return 1;
  // A file system mounted on a directory of the same device (a bind mount) shows only here.
  const std::string info = UFile::ReadFile("/proc/self/mountinfo");
  return info.find(std::string(" ") + board().user_mount + " ") != std::string::npos ? 1 : 0;
}

int PrepareWorkingDir(const char* keep, std::string* kept) {
  if (CheckWorkingDir() < 0) return -1;
  if (!UFile::Exist(board().work_dir)) {
    if (mkdir(board().work_dir, 0700) != 0) {
      fprintf(stderr, "%s cannot be created: %s\n", board().work_dir, strerror(errno));
      return -1;
    }
    // As before, a board without tmpfs works in the plain directory, which is root's alone too.
    mount("tmpfs", board().work_dir, "tmpfs", MS_NOSUID | MS_NODEV, "size=256m,mode=0700");
    return 0;
  }
  if (keep) {
    const std::string aside = std::string(board().work_dir) + "/" + kSetAside;
    if (rename(keep, aside.c_str()) != 0) {
      fprintf(stderr, "%s cannot be set aside: %s\n", keep, strerror(errno));
      return -1;
    }
    if (kept) *kept = aside;
  }
  if (!EmptyWorkDir(keep ? kSetAside : nullptr)) {
    fprintf(stderr, "%s cannot be emptied\n", board().work_dir);
    return -1;
  }
  return 0;
}

int SaveUserPartition() {
  const std::string user_copy = std::string(board().work_dir) + "/" + kUserCopy;
  Run({"mkdir", user_copy});
  std::vector<std::string> cp = {"cp"};
  AppendGlob(&cp, std::string(board().user_mount) + "/*");
  cp.push_back(user_copy);
  Run(cp);
  Run({"rm", "-r", board().user_link});
  Run({"ln", "-s", user_copy, board().user_link});
  sync();
  if (!UFileSystem::Umount(board().user_mount)) {
    printf("umount user partition failed , error code = %d, Abort\n", errno);
    return -1;
  }
  return 1;
}

int PrepareFromTarFile(const char* path, char* staged, size_t stagedSize, const char* name) {
  const char* slash = strrchr(path, '/');
  const char* base = name ? name : slash ? slash + 1 : path;
  if (!JoinPath(staged, stagedSize, board().work_dir, base)) {
    fprintf(stderr, "package path too long: %s\n", path);
    return -1;
  }
  // "--": a package named "-x.tgz" is a file, not an option. A move that fails (no such file,
  // no room left) leaves no package to unpack.
  if (Run({"mv", "--", path, staged}) != 0) {
    fprintf(stderr, "cannot move %s to %s\n", path, staged);
    staged[0] = '\0';
    return -1;
  }
  return 0;
}

int PrepareFromImgFile(const char* path, char* staged, size_t stagedSize) {
  if (staged && stagedSize > 0) staged[0] = '\0';
  int in = UFile::Open(path, O_RDWR);
  if (in < 0) return -1;
  const long long size = UFile::GetFileSize(in);
  // The whole header is read, so the copy continues right after it.
  unsigned char header[kImgHeaderSize];
  bool ok = size > kImgMinSize && UFile::Read(in, header, sizeof header) == static_cast<int>(sizeof header);
  std::string name;
  if (ok && ParseImgHeader(header, sizeof header, name) < 0) {
    fprintf(stderr, "image name field is not a plain file name\n");
    ok = false;
  }
  ok = ok && JoinPath(staged, stagedSize, board().work_dir, name.c_str()) && CopyPackage(in, size, staged);
  UFile::Close(in);
  return ok ? 0 : -1;
}
