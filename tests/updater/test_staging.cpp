// Staging with the updater's places in a private directory; then whole runs where mounts matter.
// Handover, refused packages and a second run on a real kernel are the system tier's.
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Driver.h"
#include "Staging.h"
#include "board.h"
#include "child.h"
#include "private_ns.h"

using testboard::Exists;
using testboard::InPlaces;
using testboard::Places;
using testutil::ChildResult;
using testutil::ReadAll;
using testutil::WriteAll;

namespace {

// An image file: header with the name field, package, 4 final bytes.
std::string MakeImg(const std::string& name, const std::string& package, const std::string& tail = "TAIL") {
  std::string img(kImgHeaderSize, '\0');
  memset(&img[0], 'H', kImgNameOffset);
  memcpy(&img[kImgNameOffset], name.data(), std::min(name.size(), kImgNameSize));
  return img + package + tail;
}

bool Mounted(const std::string& p) {
  return ReadAll("/proc/self/mountinfo").find(" " + p + " ") != std::string::npos;
}

// A gzip tar holding the named files, built with the system's tar.
bool MakeTgz(const std::string& tgz, const std::vector<std::pair<std::string, std::string>>& files) {
  const std::string dir = tgz + ".src";
  mkdir(dir.c_str(), 0755);
  std::vector<const char*> argv = {"tar", "-czf", tgz.c_str(), "-C", dir.c_str()};
  for (const auto& f : files) {
    WriteAll(dir + "/" + f.first, f.second);
    argv.push_back(f.first.c_str());
  }
  argv.push_back(nullptr);
  return RunCommand(argv.data()) == 0;
}

}  // namespace

TEST(StagingWorkDir, OneNotOfThisUsersAloneIsRefusedUntouched) {
  bool skipped = false;
  for (int c = 0; c < 4; ++c) {  // a link, open to all, another owner's (root only), a file
    ChildResult r = InPlaces([c](Places& p) {
      mkdir((p.root + "/victim").c_str(), 0755);
      WriteAll(p.root + "/victim/keep", "k");
      rmdir(p.work.c_str());
      const char* w = p.work.c_str();
      if (c == 0 ? symlink((p.root + "/victim").c_str(), w) : c == 3 ? (WriteAll(w, "f"), 0) : mkdir(w, 0700))
        return 20;
      if (c == 1 ? chmod(w, 01777) : c == 2 ? chown(w, 1000, 1000) : 0) return testutil::kNoNamespace;
      if (CheckWorkingDir() != -1 || PrepareWorkingDir() != -1) return 10;
      return ReadAll(p.root + "/victim/keep") != "k" || Mounted(p.work) ? 11 : 0;
    });
    skipped |= r.status == testutil::kNoNamespace;
    EXPECT_TRUE(r.status == 0 || r.status == testutil::kNoNamespace) << c << r.status << r.err;
  }
  if (skipped) GTEST_SKIP() << "a directory of another owner needs root";
}

TEST(StagingUnpack, OnlyAWholeIntactPackageIsUnpacked) {
  // Intact, with an image's 4 final bytes, cut short, a bit flipped, a FIFO; the fuzz target and
  // the system tier take the other damage.
  for (int c = 0; c < 5; ++c) {
    ChildResult r = InPlaces([c](Places& p) {
      const std::string noise = testboard::Pattern(300000, 5);
      if (!MakeTgz(p.root + "/pkg.tgz", {{"fwupdate_1", "erase 0 20000\n"}, {"rootfs.img", noise}}))
        return 20;
      mkdir(p.path("user").c_str(), 0755);
      p.put("user/settings.conf", "s");
      std::string pkg = ReadAll(p.root + "/pkg.tgz");
      if (c == 1) pkg += "TAIL";
      if (c == 2) pkg.resize(pkg.size() - 200);
      if (c == 3) pkg[pkg.size() / 2] ^= 4;
      alarm(10);
      if (c == 4 ? mkfifo(p.path("pkg.tgz").c_str(), 0600) : (p.put("pkg.tgz", pkg), 0)) return 21;
      const int rc = UntarUpdateFile(p.path("pkg.tgz").c_str());
      if (Exists(p.path("pkg.tgz")) || p.get("user/settings.conf") != "s") return 11;
      if (c < 2) return rc == 0 && p.get("rootfs.img") == noise ? 0 : 12;
      // Nothing of a refused package is left for a later run on the directory.
      return rc == -1 && !Exists(p.path("fwupdate_1")) && !Exists(p.path("rootfs.img")) ? 0 : 13;
    });
    EXPECT_EQ(0, r.status) << c << r.out << r.err;
  }
}

// No name ever reaches a shell; a path too long for the working directory stays where it is.
TEST(StagingTar, ShellTextInAPackageNameStaysANameAndALongPathIsNotMoved) {
  ChildResult r = InPlaces([](Places& p) {
    if (chdir(p.root.c_str()) != 0) return 21;  // where a shell would have created the files
    const std::string name = "a;touch pwned;b $(touch pwned2)`touch pwned3`.tgz";
    if (!MakeTgz(p.root + "/" + name, {{"fwupdate_1", "x"}})) return 20;
    char staged[kStagedPathSize];
    if (PrepareWorkingDir() != 0 || PrepareFromTarFile((p.root + "/" + name).c_str(), staged) != 0) return 10;
    if (std::string(staged) != p.path(name)) return 11;
    UntarUpdateFile(staged);
    if (Exists("pwned") || Exists("pwned2") || Exists("pwned3") || p.get("fwupdate_1") != "x") return 12;
    const std::string path = p.root + "/" + std::string(250, 'p') + ".tgz";
    WriteAll(path, "p");
    return PrepareFromTarFile(path.c_str(), staged) != -1 || staged[0] != '\0' || !Exists(path) ? 15 : 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("Extract <board>/update/a;touch pwned;b $(touch pwned2)`touch pwned3`.tgz \n", r.out);
}

// An image file's package goes to the working directory under the header's name, which may not
// lead out of it, nor through a link planted there.
TEST(StagingImg, NameFieldAndCopyRule) {
  ChildResult r = InPlaces([](Places& p) {
    char staged[kStagedPathSize];
    const std::string img = p.root + "/a.img", big = testboard::Pattern(3 * 0x100000 + 77, 3);
    const struct {
      std::string img, staged_as, staged;  // staged_as "": refused
    } cases[] = {
        {MakeImg("pkg.tgz", "").substr(0, kImgHeaderSize - 1), "", ""},
        {MakeImg("pkg.tgz", big), "pkg.tgz", big + "TAIL"},  // the 4 final bytes go along
        // Package of exactly one chunk: the copy stops after it, the final bytes stay behind.
        {MakeImg("one.tgz", std::string(0x100000, 'o')), "one.tgz", std::string(0x100000, 'o')},
        // A name of all 36 characters, without a NUL.
        {MakeImg(std::string(32, 'n') + ".tgz", "z"), std::string(32, 'n') + ".tgz", "zTAIL"},
        {MakeImg("../escape.tgz", "z"), "", ""},
        {MakeImg("", "z"), "", ""},
        {MakeImg("link.tgz", "z"), "", ""},
    };
    WriteAll(p.root + "/victim", "keep");
    symlink((p.root + "/victim").c_str(), p.path("link.tgz").c_str());
    for (const auto& c : cases) {
      WriteAll(img, c.img);
      const int rc = PrepareFromImgFile(img.c_str(), staged);
      if (c.staged_as.empty() ? rc != -1 || staged[0] != '\0' : rc != 0 || staged != p.path(c.staged_as))
        return printf("%s\n", c.staged_as.c_str()), 10;
      if (!c.staged_as.empty() && ReadAll(staged) != c.staged) return printf("%s\n", c.staged_as.c_str()), 11;
    }
    return !Exists(img) || Exists(p.root + "/escape.tgz") || ReadAll(p.root + "/victim") != "keep" ? 12 : 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

namespace {

const char kHandOver[] = "Extract /tmp/update/pkg.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update";
const char kBad[] = "Invalid firmware image file, badimage, abort\n";

// fwapply's whole run in this process (no argument when arg is null).
int Fwapply(const char* arg) {
  std::string a = arg ? arg : "";
  char name[] = "fwapply";
  char* argv[] = {name, arg ? &a[0] : nullptr, nullptr};
  const int rc = FwApplyMain(arg ? 2 : 1, argv);
  fflush(stdout);
  return rc;
}

bool Staged() { return ReadAll("/tmp/update/rootfs.img") == "rootfs.img" && !Exists("/tmp/update/pkg.tgz"); }

// The package (the carried updater and an image, each holding its name) at path, wrapped in an
// image file for a ".img" name.
bool PackageAt(const std::string& path) {
  mkdir("/tmp/update/sub", 0700);
  mkdir("/tmp/inner.tgz.src", 0755);
  close(open("/tmp/inner.tgz.src/fwapply", O_CREAT | O_WRONLY, 0755));  // the carried updater runs
  if (!MakeTgz("/tmp/inner.tgz", {{"fwapply", "fwapply"}, {"rootfs.img", "rootfs.img"}})) return false;
  const std::string inner = ReadAll("/tmp/inner.tgz");
  WriteAll(path, path.find(".img") != std::string::npos ? MakeImg("pkg.tgz", inner) : inner);
  return true;
}

}  // namespace

// Whole runs in a private /tmp with a user partition mounted. Only the working directory itself is
// a directory argument (any other would run a stale package); the partition stays mounted until
// the package is staged, and its files are copied flat to a RAM disk of root's alone.
TEST(FwapplyStaging, ArgumentsStagingAndRefusals) {
  const std::string noenv = "cannot find image environment variable, abort\n";
  const struct {
    const char* what;
    std::function<bool()> make;
    const char* arg;
    int status;
    std::string out;
    bool mounted;
    std::function<bool()> check;
  } cases[] = {
      {"no argument", [] { return true; }, nullptr, 0, "usage : fwapply <firmware image file>\n", true,
       nullptr},
      {"the working directory", [] { return true; }, "/tmp/update", -1, noenv, true, nullptr},
      {"another directory", [] { return mkdir("/tmp/other", 0700) == 0; }, "/tmp/other", -1, kBad, true,
       nullptr},
      {"a package",
       [] {
         return symlink("/tmp/elsewhere", "/tmp/user") == 0 && rmdir("/tmp/update") == 0 &&
                PackageAt("/tmp/pkg.tgz");
       },
       "/tmp/pkg.tgz", 0, kHandOver, false,
       [] {
         struct statfs fs;
         struct stat st;
         return statfs("/tmp/update", &fs) == 0 && fs.f_type == 0x01021994 &&
                static_cast<unsigned long long>(fs.f_blocks) * fs.f_bsize == 256ull << 20 &&
                stat("/tmp/update", &st) == 0 && (st.st_mode & 07777) == 0700 && !Exists("/tmp/pkg.tgz") &&
                Staged() && !Exists("/tmp/update/user/logs");
       }},
      {"on the user partition", [] { return PackageAt("/tmp/mnt/user/fw.img"); }, "/tmp/mnt/user/fw.img", 0,
       kHandOver, false, [] { return Staged() && !Exists("/tmp/user/pkg.tgz"); }},
      {"in the working directory", [] { return PackageAt("/tmp/update/pkg.tgz"); }, "/tmp/update/pkg.tgz", 0,
       kHandOver, false, Staged},
      {"lock planted by another",
       [] { return symlink("/tmp/victim", "/tmp/fwapply.lock") == 0 && PackageAt("/tmp/pkg.tgz"); },
       "/tmp/pkg.tgz", -1,
       "cannot take the lock /tmp/fwapply.lock (Too many levels of symbolic links), abort\n", true,
       [] { return !Exists("/tmp/victim") && Exists("/tmp/pkg.tgz"); }},
      // A partition in use does not unmount: the run stops before the package is touched.
      {"user partition busy",
       [] { return open("/tmp/mnt/user/wifi.psk", O_RDONLY) >= 0 && PackageAt("/tmp/pkg.tgz"); },
       "/tmp/pkg.tgz", -1, "umount user partition failed , error code = 16, Abort\n", true,
       [] { return Exists("/tmp/pkg.tgz") && !Exists("/tmp/update/rootfs.img"); }},
  };
  for (const auto& c : cases) {
    ChildResult r = testutil::RunIsolated([&] {
      Places p("/tmp");
      BoardPlaces places = board();
      places.env_block = "/tmp/none";  // never the host's
      board_install(&places);
      if (mkdir("/tmp/mnt", 0755) || mkdir("/tmp/mnt/user", 0755) ||
          mount("none", "/tmp/mnt/user", "tmpfs", 0, nullptr))
        return testutil::kNoNamespace;
      WriteAll("/tmp/mnt/user/wifi.psk", "secret\n");
      mkdir("/tmp/mnt/user/logs", 0755);
      if (!c.make()) return 20;
      if (Fwapply(c.arg) != c.status) return 10;
      if (Mounted("/tmp/mnt/user") != c.mounted) return 11;
      if (Exists("/tmp/user") && ReadAll("/tmp/user/wifi.psk") != "secret\n") return 12;
      return c.check && !c.check() ? 13 : 0;
    });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << c.what << r.err << r.out;
    EXPECT_EQ(c.out, r.out) << c.what;
  }
}
