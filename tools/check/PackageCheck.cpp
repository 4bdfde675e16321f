#include "PackageCheck.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "GzipCheck.h"
#include "Staging.h"

namespace {

// fwapply's working directory is a tmpfs of this size; the package and its files share it.
const long long kWorkRoom = 256LL << 20;
// fwapply copies an image's package in reads of this size.
const long long kCopyChunk = 0x100000;
const char kScriptPrefix[] = "fwupdate_";
const char kStagedName[] = "staged.tgz";
const char kUnpacked[] = "package";

// A directory of this process alone, removed with everything in it.
class Scratch {
 public:
  Scratch() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/fwcheck.XXXXXX";
    if (mkdtemp(&pattern[0])) path_ = pattern;
  }
  ~Scratch() { Remove(path_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::string& path() const { return path_; }
  // The directory outlives this object; its new owner removes it.
  std::string Release() {
    std::string kept;
    kept.swap(path_);
    return kept;
  }
  static void Remove(const std::string& path) {
    if (path.empty()) return;
    // A package may hold directories without write permission; they must go as well.
    const char* const chmod_argv[] = {"chmod", "-R", "u+rwX", path.c_str(), nullptr};
    const char* const rm_argv[] = {"rm", "-rf", "--", path.c_str(), nullptr};
    RunCommand(chmod_argv);
    RunCommand(rm_argv);
  }

 private:
  std::string path_;
};

// What fwapply keeps of an image's package of length bytes: it copies in whole chunks until it
// has passed all but the 4 final bytes, so a remainder of 1 to 4 bytes after a chunk stays behind.
long long StagedLength(long long length) {
  if (length <= kImgTrailer) return 0;
  const long long whole = (length - 1) / kCopyChunk * kCopyChunk;
  return whole > 0 && whole >= length - kImgTrailer ? whole : length;
}

bool CopyBytes(int in, long long offset, long long length, const std::string& out_path) {
  const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) return false;
  std::vector<char> buf(65536);
  bool ok = true;
  for (long long done = 0; ok && done < length;) {
    const size_t want =
        static_cast<size_t>(std::min<long long>(length - done, static_cast<long long>(buf.size())));
    const ssize_t n = pread(in, buf.data(), want, offset + done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0 && write(out, buf.data(), static_cast<size_t>(n)) == n;
    done += n > 0 ? n : 0;
  }
  return close(out) == 0 && ok;
}

long long TreeBytes(const std::string& dir) {
  long long total = 0;
  DIR* d = opendir(dir.c_str());
  if (!d) return 0;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name, path = dir + "/" + name;
    struct stat st;
    if (name == "." || name == ".." || lstat(path.c_str(), &st) != 0) continue;
    total += S_ISDIR(st.st_mode) ? TreeBytes(path) : static_cast<long long>(st.st_size);
  }
  closedir(d);
  return total;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The slot of a script that fwapply can run (it asks for "fwupdate_%d"), or false.
bool ScriptSlot(const std::string& name, long* slot) {
  if (name.compare(0, strlen(kScriptPrefix), kScriptPrefix) != 0) return false;
  const std::string digits = name.substr(strlen(kScriptPrefix));
  char* end = nullptr;
  *slot = strtol(digits.c_str(), &end, 10);
  return !digits.empty() && *end == '\0' && Format("%ld", *slot) == digits;
}

class PackageChecker {
 public:
  PackageChecker(const std::string& path, const CheckConfig& config, Report* report)
      : path_(path), config_(config), report_(report) {}
  void Check(PackageForm form);
  std::string Unpacked(PackageForm form, std::string* scratch);

 private:
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool Stage(int fd, PackageForm form, std::string* tgz);
  bool StageImage(int fd, long long size, std::string* tgz);
  bool Gzip(const std::string& file, const char* what);
  bool Unpack(const std::string& tgz);
  void Tree(const std::string& dir);
  void Carried(const std::string& dir);
  void Folder(const std::string& dir);

  const std::string path_;
  const CheckConfig& config_;
  Report* report_;
  Scratch scratch_;
  std::string staged_name_;  // the package's file name in fwapply's working directory
};

void PackageChecker::Error(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  report_->findings.push_back({path_, 0, Severity::kError, VFormat(format, ap)});
  va_end(ap);
}

void PackageChecker::Check(PackageForm form) {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) return Error("the package cannot be read: %s", strerror(errno));
  if (S_ISDIR(st.st_mode) && form == PackageForm::kByName) return Tree(path_);
  if (scratch_.path().empty()) return Error("no temporary directory: %s", strerror(errno));
  const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  const bool regular = fd >= 0 && fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode);
  std::string tgz;
  const bool staged = regular && Stage(fd, form, &tgz);
  if (fd >= 0) close(fd);
  if (!regular) return Error("the package is not a regular file that can be read");
  if (!staged || !Unpack(tgz)) return;
  const std::string dir = scratch_.path() + "/" + kUnpacked;
  struct stat packed;
  const long long need = TreeBytes(dir) + (stat(tgz.c_str(), &packed) == 0 ? packed.st_size : 0);
  if (need > kWorkRoom)
    Error(
        "the package and its unpacked files take %lld MiB, more than fwapply's 256 MiB working directory: "
        "fwapply refuses it",
        (need + (1 << 20) - 1) >> 20);
  Tree(dir);
}

std::string PackageChecker::Unpacked(PackageForm form, std::string* scratch) {
  struct stat st;
  if (scratch_.path().empty()) {
    Error("no temporary directory: %s", strerror(errno));
    return "";
  }
  const std::string dir = scratch_.path() + "/" + kUnpacked;
  if (stat(path_.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && form == PackageForm::kByName) {
    const std::string contents = path_ + "/.";
    const char* const argv[] = {"cp", "-R", "--", contents.c_str(), dir.c_str(), nullptr};
    if (mkdir(dir.c_str(), 0700) != 0 || RunCommand(argv) != 0) {
      Error("the package directory cannot be copied");
      return "";
    }
  } else {
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string tgz;
    const bool staged = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && Stage(fd, form, &tgz);
    if (fd >= 0) close(fd);
    if (!staged || !Unpack(tgz)) {
      if (report_->Status() < 2) Error("the package cannot be read as a regular file");
      return "";
    }
  }
  *scratch = scratch_.Release();
  return dir;
}

bool PackageChecker::Stage(int fd, PackageForm form, std::string* tgz) {
  const size_t slash = path_.rfind('/');
  const std::string base = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  bool img = form == PackageForm::kByName && path_.find(".tgz") == std::string::npos;
  if (img && path_.find(".img") == std::string::npos) {
    Error("the package's name holds neither \".tgz\" nor \".img\": fwapply would stage nothing");
    unsigned char magic[2] = {0, 0};
    img = pread(fd, magic, 2, 0) != 2 || magic[0] != 0x1f || magic[1] != 0x8b;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  if (img) return StageImage(fd, st.st_size, tgz);
  staged_name_ = base;
  long long end = 0;
  if (GzipCheck(fd, &end) != 0) {
    Error(
        "the package is not a whole gzip file: fwapply refuses it (\"Invalid firmware image file, badimage, "
        "abort\")");
    return false;
  }
  // Bytes after the last member are cut off before tar sees the package, as fwapply does.
  *tgz = end == st.st_size ? path_ : scratch_.path() + "/" + kStagedName;
  return end == st.st_size || CopyBytes(fd, 0, end, *tgz);
}

bool PackageChecker::StageImage(int fd, long long size, std::string* tgz) {
  unsigned char header[kImgHeaderSize];
  if (size <= static_cast<long long>(kImgHeaderSize) - 1 ||
      pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
    Error("the image is %lld bytes, too short for an image: fwapply refuses it as a bad image", size);
    return false;
  }
  if (ParseImgHeader(header, sizeof header, staged_name_) != 0) {
    Error("the image's name field is no plain file name: fwapply refuses it as a bad image");
    return false;
  }
  *tgz = scratch_.path() + "/" + kStagedName;
  const long long length = StagedLength(size - static_cast<long long>(kImgHeaderSize));
  if (!CopyBytes(fd, static_cast<long long>(kImgHeaderSize), length, *tgz)) {
    Error("the package cannot be copied: %s", strerror(errno));
    return false;
  }
  return Gzip(*tgz, "the package behind the image header");
}

bool PackageChecker::Gzip(const std::string& file, const char* what) {
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  long long end = 0;
  struct stat st;
  const bool whole = fd >= 0 && fstat(fd, &st) == 0 && GzipCheck(fd, &end) == 0 &&
                     (end == st.st_size || ftruncate(fd, end) == 0);
  if (fd >= 0) close(fd);
  if (!whole)
    Error(
        "%s is not a whole gzip file: fwapply refuses it (\"Invalid firmware image file, badimage, abort\")",
        what);
  return whole;
}

bool PackageChecker::Unpack(const std::string& tgz) {
  const std::string dir = scratch_.path() + "/" + kUnpacked;
  if (mkdir(dir.c_str(), 0700) != 0) {
    Error("the package cannot be unpacked: %s", strerror(errno));
    return false;
  }
  const char* const argv[] = {"tar", "-xzf", tgz.c_str(), "-C", dir.c_str(), nullptr};
  const int status = RunCommand(argv);
  if (status != 0) Error("tar did not unpack the package (status %d): fwapply refuses it", status);
  return status == 0;
}

void PackageChecker::Tree(const std::string& dir) {
  std::vector<std::pair<long, std::string>> scripts;
  for (const std::string& name : Entries(dir)) {
    long slot = 0;
    if (ScriptSlot(name, &slot))
      scripts.push_back({slot, name});
    else if (name.compare(0, strlen(kScriptPrefix), kScriptPrefix) == 0)
      report_->Add(name, 0, Severity::kWarning,
                   "never runs: fwapply runs fwupdate_<image> with image written "
                   "as a plain decimal number");
    if (name == staged_name_)
      Error(
          "the package holds a file named \"%s\", the name the package itself is staged under: fwapply "
          "deletes that file "
          "after unpacking",
          name.c_str());
  }
  Carried(dir);
  if (scripts.empty()) return Folder(dir);
  std::sort(scripts.begin(), scripts.end());
  for (const auto& script : scripts) CheckScript(config_, dir, script.second, report_);
}

void PackageChecker::Carried(const std::string& dir) {
  struct stat st;
  if (lstat((dir + "/" + kCarriedUpdater).c_str(), &st) != 0) return;
  if (S_ISREG(st.st_mode) && (st.st_mode & 0111)) {
    report_->Add(path_, 0, Severity::kNote,
                 "the package carries fwapply: on the board it takes over and runs the scripts "
                 "by its own rules");
    return;
  }
  Error(
      "the package carries fwapply, but not as an executable file: fwapply refuses the package (\"fwapply is "
      "not an "
      "executable file, badimage, abort\")");
}

// No script at the top: often the files were packed inside a folder.
void PackageChecker::Folder(const std::string& dir) {
  std::string hint;
  long slot = 0;
  for (const std::string& name : Entries(dir)) {
    for (const std::string& inner : Entries(dir + "/" + name)) {
      if (hint.empty() && ScriptSlot(inner, &slot))
        hint = "; " + name + "/" + inner + " lies in a folder: pack the files at the top level";
    }
  }
  Error(
      "the package holds no fwupdate_<N> script: fwapply refuses it (\"fail to open fwupdate_N, badimage, "
      "abort\")%s",
      hint.c_str());
}

}  // namespace

void CheckPackage(const std::string& path, const CheckConfig& config, PackageForm form, Report* report) {
  report->package = path;
  PackageChecker checker(path, config, report);
  checker.Check(form);
}

std::string UnpackPackage(const std::string& path, PackageForm form, Report* report, std::string* scratch) {
  report->package = path;
  PackageChecker checker(path, CheckConfig(), report);
  return checker.Unpacked(form, scratch);
}

void RemoveScratch(const std::string& scratch) { Scratch::Remove(scratch); }
