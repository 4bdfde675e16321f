// The real fwapply binary staging packages, in a private mount namespace with its own /tmp,
// /mnt, /mnt/user and /dev, so the board's fixed paths are used for real and the host's never.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::WriteAll;

namespace {

const char kHandOver[] = "Extract /tmp/update/pkg.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update";
const char kBad[] = "Invalid firmware image file, badimage, abort\n";

int g_exe = -1;

// fwapply with arg (none when null), its output that of this child.
int Fwapply(const char* arg) {
  std::vector<std::string> args = {"fwapply"};
  if (arg) args.push_back(arg);
  return testutil::Wait(testutil::Spawn(g_exe, args));
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

int Mounts(const std::string& p) {
  const std::string info = ReadAll("/proc/self/mountinfo");
  int n = 0;
  for (size_t at = info.find(" " + p + " "); at != std::string::npos; at = info.find(" " + p + " ", at + 1))
    ++n;
  return n;
}

int Run(const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return testutil::Wait(testutil::Spawn(open(argv[0], O_RDONLY | O_CLOEXEC), args));
}

// A package of the named files (content = name, the carried updater executable) as tgz, made
// from /tmp/pkgsrc, where a scenario may have put other files before.
bool Package(const std::string& tgz, const std::vector<std::string>& files) {
  mkdir("/tmp/pkgsrc", 0755);
  std::vector<std::string> args = {"/bin/tar", "-czf", tgz, "-C", "/tmp/pkgsrc"};
  for (const auto& f : files) {
    const std::string path = "/tmp/pkgsrc/" + f;
    if (!Exists(path) && (WriteAll(path, f), f == "fwapply")) chmod(path.c_str(), 0755);
    args.push_back(f);
  }
  return Run(args) == 0;
}

std::string Img(const std::string& name, const std::string& package) {
  std::string img(429, '\0');
  memcpy(&img[393], name.data(), name.size());
  return img + package + "TAIL";
}

// The board: a user partition with a few files and a directory, and a /dev without any flash,
// so that a run that reaches the script selection finds no boot environment.
ChildResult OnBoard(const std::function<int()>& scenario) {
  return testutil::RunIsolated([&] {
    if (mount("none", "/mnt", "tmpfs", 0, nullptr) != 0 || mkdir("/mnt/user", 0755) != 0 ||
        mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0 ||
        mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
      return testutil::kNoNamespace;
    WriteAll("/mnt/user/settings.conf", "volume=3\n");
    WriteAll("/mnt/user/wifi.psk", "secret\n");
    mkdir("/mnt/user/logs", 0755);
    return scenario();
  });
}

class FwapplyStaging : public ::testing::Test {
 protected:
  void SetUp() override {
    const ChildResult probe = testutil::RunIsolated([] { return 0; });
    SKIP_IF_NOT_ISOLATED(probe);
    g_exe = testutil::OpenBuilt("FWAPPLY_BINARY", "../../updater/fwapply");
    if (g_exe < 0) FAIL() << "fwapply binary not found beside the tests (set FWAPPLY_BINARY)";
  }
  void TearDown() override {
    if (g_exe >= 0) close(g_exe);
  }
};

}  // namespace

TEST_F(FwapplyStaging, NoArgumentPrintsUsageAndTouchesNothing) {
  ChildResult r =
      OnBoard([] { return Fwapply(nullptr) != 0 || Exists("/tmp/update") || !Mounts("/mnt/user"); });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("usage : fwapply <firmware image file>\n", r.out);
}

TEST_F(FwapplyStaging, OnlyTheWorkingDirectoryIsADirectoryArgument) {
  const char* noenv = "cannot find image environment variable, abort\n";
  const struct {
    const char* arg;
    const char* out;
    bool linked;  // /tmp/update a link to /tmp/other
  } cases[] = {
      // No staging, no carried-updater check; straight to the boot environment, which this
      // board lacks.
      {"/tmp/update", noenv, false},
      {"/tmp/update/../update/", noenv, false},
      {"/tmp/alias", noenv, false},
      // Another directory would run the stale package in /tmp/update.
      {"/tmp/other", kBad, false},
      {"/tmp/update/sub", kBad, false},
      {"/tmp/other", kBad, true},
  };
  for (const auto& c : cases) {
    ChildResult r = OnBoard([&] {
      mkdir("/tmp/other", 0700);
      if (c.linked) symlink("/tmp/other", "/tmp/update");
      mkdir("/tmp/update", 0700);
      mkdir("/tmp/update/sub", 0700);
      WriteAll("/tmp/update/keep", "k");
      symlink("/tmp/update", "/tmp/alias");
      int st = Fwapply(c.arg);
      if (!Mounts("/mnt/user") || ReadAll("/tmp/update/keep") != "k" || Exists("/tmp/user")) return 10;
      return st;
    });
    EXPECT_EQ(255, r.status) << c.arg << r.err;
    EXPECT_EQ(c.out, r.out) << c.arg;
  }
}

// The first run mounts a RAM disk of root's alone on /tmp/update, copies the user partition's
// files there (flat: directories stay behind), links /tmp/user to the copy, unmounts the
// partition and unpacks the package; a second run empties the directory instead of mounting it
// again.
TEST_F(FwapplyStaging, PackageStagedUserFilesSavedAndHandedOverTwice) {
  ChildResult r = OnBoard([] {
    symlink("/tmp/elsewhere", "/tmp/user");  // a stale link is replaced
    if (!Package("/tmp/pkg.tgz", {"fwapply", "kernel.img"})) return 20;
    if (Fwapply("/tmp/pkg.tgz") != 0) return 21;
    struct statfs fs;
    struct stat st;
    if (statfs("/tmp/update", &fs) != 0 || fs.f_type != 0x01021994 ||
        static_cast<unsigned long long>(fs.f_blocks) * fs.f_bsize != 256ull << 20)
      return 10;
    if (stat("/tmp/update", &st) != 0 || (st.st_mode & 07777) != 0700) return 11;
    if (Exists("/tmp/pkg.tgz") || Exists("/tmp/update/pkg.tgz") ||
        ReadAll("/tmp/update/kernel.img") != "kernel.img")
      return 12;
    if (ReadAll("/tmp/user/wifi.psk") != "secret\n" || Exists("/tmp/update/user/logs") || Mounts("/mnt/user"))
      return 13;
    // The supervising program mounts the user partition again before the next update.
    if (mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0) return 22;
    WriteAll("/mnt/user/new.conf", "n");
    WriteAll("/tmp/update/.hidden", "h");
    mkdir("/tmp/update/olddir", 0755);
    symlink("/tmp/elsewhere", "/tmp/update/olddir/link");
    WriteAll("/tmp/elsewhere", "e");
    remove("/tmp/pkgsrc/kernel.img");
    if (!Package("/tmp/pkg.tgz", {"fwapply", "new.img"}) || Fwapply("/tmp/pkg.tgz") != 0) return 23;
    if (Exists("/tmp/update/kernel.img") || Exists("/tmp/update/.hidden") || Exists("/tmp/update/olddir"))
      return 14;
    if (ReadAll("/tmp/user/new.conf") != "n" || ReadAll("/tmp/elsewhere") != "e") return 15;
    return Mounts("/tmp/update") == 1 ? 0 : 16;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string(kHandOver) + kHandOver, r.out);
}

TEST_F(FwapplyStaging, PackageOnTheUserPartitionOrInTheWorkingDirectory) {
  for (const char* place :
       {"/mnt/user/pkg.tgz", "/mnt/user/fw.img", "/tmp/update/pkg.tgz", "/tmp/update/sub/fw.img"}) {
    ChildResult r = OnBoard([&] {
      if (!Package("/tmp/inner.tgz", {"fwapply", "rootfs.img"})) return 20;
      mkdir("/tmp/update", 0700);
      mkdir("/tmp/update/sub", 0700);
      const std::string p(place), inner = ReadAll("/tmp/inner.tgz");
      WriteAll(p, p.find(".img") != std::string::npos ? Img("pkg.tgz", inner) : inner);
      int st = Fwapply(place);
      if (ReadAll("/tmp/update/rootfs.img") != "rootfs.img" || Exists("/tmp/update/pkg.tgz")) return 10;
      // The user copy holds the user's files, not a moved package.
      if (ReadAll("/tmp/user/wifi.psk") != "secret\n" || Exists("/tmp/user/pkg.tgz")) return 11;
      return st;
    });
    EXPECT_EQ(0, r.status) << place << r.err;
    EXPECT_EQ(kHandOver, r.out) << place;
  }
}

// Refusals: each says why and exits 255; a package not yet moved stays where it was, the user
// partition stays mounted until the package is staged, and /tmp/user holds the user's files.
TEST_F(FwapplyStaging, RefusedPackagesAndRuns) {
  const std::string extract = "Extract /tmp/update/pkg.tgz \n";
  const std::string carried =
      extract + "Checking fwapply \nfwapply is not an executable file, badimage, abort\n";
  const std::string busy = "another fwapply is running, abort\n";
  const struct {
    const char* what;
    std::function<bool()> make;
    const char* arg;
    std::string out;
    bool kept, mounted;
  } cases[] = {
      {"image file of 428 bytes",
       [] { return WriteAll("/tmp/pkg.img", Img("pkg.tgz", "").substr(0, 428)), true; }, "/tmp/pkg.img", kBad,
       true, false},
      // 429 bytes: an empty package, which does not unpack.
      {"empty package", [] { return WriteAll("/tmp/pkg.img", Img("pkg.tgz", "")), true; }, "/tmp/pkg.img",
       extract + kBad, true, false},
      {"damaged package",
       [] {
         std::string noise(100000, '\0');
         for (size_t i = 0; i < noise.size(); i++) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
         mkdir("/tmp/pkgsrc", 0755);
         WriteAll("/tmp/pkgsrc/rootfs.img", noise);
         if (!Package("/tmp/inner.tgz", {"fwupdate_1", "rootfs.img"})) return false;
         std::string p = ReadAll("/tmp/inner.tgz");
         p[p.size() / 2] ^= 1;
         return WriteAll("/tmp/pkg.img", Img("pkg.tgz", p)), true;
       },
       "/tmp/pkg.img", extract + kBad, true, false},
      {"working directory through a link",
       [] {
         mkdir("/tmp/victim", 0700);
         WriteAll("/tmp/victim/keep", "k");
         return symlink("/tmp/victim", "/tmp/update") == 0 && Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", kBad, true, true},
      {"lock planted by another",
       [] {
         WriteAll("/tmp/victim", "v");
         return symlink("/tmp/victim", "/tmp/fwapply.lock") == 0 && Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", "cannot take the lock /tmp/fwapply.lock (Too many levels of symbolic links), abort\n",
       true, true},
      // What a run holds from its start to its end; the carried updater starts after it.
      {"another run", [] { return flock(open("/tmp/fwapply.lock", O_RDWR | O_CREAT, 0600), LOCK_EX) == 0; },
       "/tmp/update", busy, false, true},
      {"another run on a package",
       [] {
         return flock(open("/tmp/fwapply.lock", O_RDWR | O_CREAT, 0600), LOCK_EX) == 0 &&
                Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", busy, true, true},
      // A package that cannot be moved leaves nothing to run.
      {"package not there", [] { return true; }, "/tmp/none.tgz", kBad, false, false},
      // An unmount that will fail fails before the copy an earlier run left is emptied.
      {"user partition not mounted",
       [] {
         return Package("/tmp/pkg.tgz", {"fwapply"}) && Fwapply("/tmp/pkg.tgz") == 0 &&
                Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", std::string(kHandOver) + "umount user partition failed , error code = 22, Abort\n",
       true, false},
      // A partition in use does not unmount: the run stops before the package is touched.
      {"user partition busy",
       [] { return open("/mnt/user/wifi.psk", O_RDONLY) >= 0 && Package("/tmp/pkg.tgz", {"fwapply"}); },
       "/tmp/pkg.tgz", "umount user partition failed , error code = 16, Abort\n", true, true},
      {"carried updater not executable",
       [] {
         mkdir("/tmp/pkgsrc", 0755);
         WriteAll("/tmp/pkgsrc/fwapply", "#!/bin/sh\n");
         return Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", carried, false, false},
      {"carried updater a directory",
       [] {
         return mkdir("/tmp/pkgsrc", 0755) == 0 && mkdir("/tmp/pkgsrc/fwapply", 0755) == 0 &&
                Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", carried, false, false},
      {"carried updater a link",
       [] {
         return mkdir("/tmp/pkgsrc", 0755) == 0 && symlink("/bin/sh", "/tmp/pkgsrc/fwapply") == 0 &&
                Package("/tmp/pkg.tgz", {"fwapply"});
       },
       "/tmp/pkg.tgz", carried, false, false},
  };
  for (const auto& c : cases) {
    ChildResult r = OnBoard([&] {
      if (!c.make()) return 20;
      if (Fwapply(c.arg) != 255) return 10;
      if (Exists(c.arg) != c.kept || (Mounts("/mnt/user") > 0) != c.mounted) return 11;
      if (Exists("/tmp/user") && ReadAll("/tmp/user/wifi.psk") != "secret\n") return 12;
      if (Exists("/tmp/update/fwupdate_1") || Exists("/tmp/victim/fwapply")) return 13;
      const std::string v = ReadAll(Exists("/tmp/victim/keep") ? "/tmp/victim/keep" : "/tmp/victim");
      return v.empty() || v == "k" || v == "v" ? 0 : 14;
    });
    EXPECT_EQ(0, r.status) << c.what << r.err << r.out;
    EXPECT_EQ(c.out, r.out) << c.what;
  }
}
