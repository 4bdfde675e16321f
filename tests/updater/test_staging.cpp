// Staging of a package, in process, as any user with the places in a private directory: the
// working directory's owner and kind, unpacking, image headers, names. Then what takes mounts,
// the fixed paths and the exit statuses: the real fwapply binary in a private mount namespace
// with its own /tmp, /mnt, /mnt/user and /dev, so the board's fixed paths are used for real and
// the host's never.
#include <fcntl.h>
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
  const struct {
    const char* what;
    std::function<bool(const Places&)> make;
  } cases[] = {
      {"link", [](const Places& p) { return symlink((p.root + "/victim").c_str(), p.work.c_str()) == 0; }},
      {"open to all",
       [](const Places& p) { return mkdir(p.work.c_str(), 0700) == 0 && chmod(p.work.c_str(), 01777) == 0; }},
      {"readable by others",
       [](const Places& p) { return mkdir(p.work.c_str(), 0755) == 0 && chmod(p.work.c_str(), 0755) == 0; }},
      {"another owner",
       [](const Places& p) {
         return mkdir(p.work.c_str(), 0700) == 0 && chown(p.work.c_str(), 1000, 1000) == 0;
       }},
      {"a file",
       [](const Places& p) {
         WriteAll(p.work, "f");
         return true;
       }},
  };
  bool skipped = false;
  for (const auto& c : cases) {
    ChildResult r = InPlaces([&](Places& p) {
      mkdir((p.root + "/victim").c_str(), 0755);
      WriteAll(p.root + "/victim/keep", "k");
      rmdir(p.work.c_str());
      if (!c.make(p)) return testutil::kNoNamespace;  // another owner: root only
      if (CheckWorkingDir() != -1 || PrepareWorkingDir() != -1) return 10;
      const bool mounted = ReadAll("/proc/self/mountinfo").find(" " + p.work + " ") != std::string::npos;
      return ReadAll(p.root + "/victim/keep") != "k" || mounted ? 11 : 0;
    });
    skipped |= r.status == testutil::kNoNamespace;
    EXPECT_TRUE(r.status == 0 || r.status == testutil::kNoNamespace) << c.what << r.status << r.err;
  }
  if (skipped) GTEST_SKIP() << "a directory of another owner needs root";
}

TEST(StagingUnpack, OnlyAWholeIntactPackageIsUnpacked) {
  // A package as the board gets it, with what may happen to it on the way.
  auto flip = [](size_t at) {
    return [at](const std::string& p) {
      std::string d = p;
      d[at == 0 ? d.size() / 2 : d.size() - at] ^= static_cast<char>(at == 0 ? 4 : 1);
      return d;
    };
  };
  const struct {
    const char* what;
    std::function<std::string(const std::string&)> damage;
    bool unpacks;
  } cases[] = {
      {"intact", [](const std::string& p) { return p; }, true},
      {"an image's 4 final bytes", [](const std::string& p) { return p + "TAIL"; }, true},
      {"cut short", [](const std::string& p) { return p.substr(0, p.size() - 200); }, false},
      {"without its trailer", [](const std::string& p) { return p.substr(0, p.size() - 8); }, false},
      {"one bit flipped", flip(0), false},
      {"wrong length", flip(1), false},
      {"not gzip", [](const std::string&) { return std::string(4096, 'x'); }, false},
      {"empty", [](const std::string&) { return std::string(); }, false},
      {"a FIFO", [](const std::string&) { return std::string("fifo"); }, false},
  };
  for (const auto& c : cases) {
    ChildResult r = InPlaces([&](Places& p) {
      const std::string noise = testboard::Pattern(300000, 5);
      if (!MakeTgz(p.root + "/pkg.tgz", {{"fwupdate_1", "erase 0 20000\n"}, {"rootfs.img", noise}}))
        return 20;
      mkdir(p.path("user").c_str(), 0755);
      p.put("user/settings.conf", "s");
      const std::string pkg = c.damage(ReadAll(p.root + "/pkg.tgz"));
      alarm(10);
      if (pkg == "fifo")
        mkfifo(p.path("pkg.tgz").c_str(), 0600);
      else
        p.put("pkg.tgz", pkg);
      const int rc = UntarUpdateFile(p.path("pkg.tgz").c_str());
      if (Exists(p.path("pkg.tgz")) || p.get("user/settings.conf") != "s") return 11;
      if (c.unpacks) return rc == 0 && p.get("rootfs.img") == noise ? 0 : 12;
      // Nothing of a refused package is left for a later run on the directory.
      return rc == -1 && !Exists(p.path("fwupdate_1")) && !Exists(p.path("rootfs.img")) ? 0 : 13;
    });
    EXPECT_EQ(0, r.status) << c.what << r.out << r.err;
  }
}

TEST(StagingUnpack, UnpackerFailureOnAFullFileSystemRefusesThePackage) {
  ChildResult r = testutil::RunIsolated([] {
    if (!MakeTgz("/tmp/pkg.tgz",
                 {{"fwupdate_1", "erase 0 20000\n"}, {"rootfs.img", std::string(1 << 20, '\0')}}))
      return 20;
    mkdir("/tmp/update", 0700);
    if (mount("none", "/tmp/update", "tmpfs", 0, "size=256k,mode=0700") != 0) return testutil::kNoNamespace;
    WriteAll("/tmp/update/pkg.tgz", ReadAll("/tmp/pkg.tgz"));
    if (UntarUpdateFile("/tmp/update/pkg.tgz") != -1) return 10;
    return Exists("/tmp/update/fwupdate_1") || Exists("/tmp/update/rootfs.img") ? 11 : 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
}

TEST(StagingTar, ShellTextInAPackageNameStaysANameAndALongPathIsNotMoved) {
  ChildResult r = InPlaces([](Places& p) {
    if (chdir(p.root.c_str()) != 0) return 21;  // where a shell would have created the files
    const std::string name = "a;touch pwned;b $(touch pwned2)`touch pwned3`.tgz";
    if (!MakeTgz(p.root + "/" + name, {{"fwupdate_1", "x"}})) return 20;
    char staged[kStagedPathSize];
    if (PrepareWorkingDir() != 0 || PrepareFromTarFile((p.root + "/" + name).c_str(), staged) != 0) return 10;
    if (std::string(staged) != p.path(name)) return 11;
    UntarUpdateFile(staged);
    if (Exists("pwned") || Exists("pwned2") || Exists("pwned3")) return 12;
    if (p.get("fwupdate_1") != "x" || Exists(staged)) return 13;
    // A package that is not there: nothing extracted, nothing said.
    if (UntarUpdateFile(p.path("none.tgz").c_str()) != 0) return 18;
    // A name that looks like an option is still a file.
    WriteAll(p.root + "/-rf.tgz", "p");
    if (PrepareFromTarFile((p.root + "/-rf.tgz").c_str(), staged) != 0 || p.get("-rf.tgz") != "p") return 14;
    // A path too long for the working directory is refused and stays where it is.
    const std::string path = p.root + "/" + std::string(250, 'p') + ".tgz";
    WriteAll(path, "p");
    if (PrepareFromTarFile(path.c_str(), staged) != -1 || staged[0] != '\0' || !Exists(path)) return 15;
    // Nor does a command ever go through a shell.
    const char* touch[] = {"touch", "a b; touch c", nullptr};
    const char* none[] = {"/nonexistent/program", nullptr};
    const char* fail[] = {"false", nullptr};
    if (RunCommand(touch) != 0 || !Exists("a b; touch c") || Exists("c")) return 16;
    return RunCommand(none) == 127 && RunCommand(fail) == 1 ? 0 : 17;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("Extract <board>/update/a;touch pwned;b $(touch pwned2)`touch pwned3`.tgz \n", r.out);
}

TEST(StagingImg, NameFieldAndCopyRule) {
  ChildResult r = InPlaces([](Places& p) {
    char staged[kStagedPathSize];
    const std::string img = p.root + "/a.img";
    const std::string big = testboard::Pattern(3 * 0x100000 + 77, 3);
    const struct {
      std::string img, staged_as, staged;  // staged_as "": refused
    } cases[] = {
        {MakeImg("pkg.tgz", "").substr(0, kImgHeaderSize - 1), "", ""},
        {MakeImg("pkg.tgz", "").substr(0, kImgHeaderSize), "pkg.tgz", ""},
        // Package and the 4 final bytes are copied.
        {MakeImg("pkg.tgz", big), "pkg.tgz", big + "TAIL"},
        // A leftover longer file of the same name does not keep its tail.
        {MakeImg("pkg.tgz", "tiny"), "pkg.tgz", "tinyTAIL"},
        // Package of exactly one chunk: the copy stops after it, the final bytes stay behind.
        {MakeImg("one.tgz", std::string(0x100000, 'o')), "one.tgz", std::string(0x100000, 'o')},
        // A name of all 36 characters without a NUL; bytes after a NUL are not the name's.
        {MakeImg(std::string(32, 'n') + ".tgz", "z"), std::string(32, 'n') + ".tgz", "zTAIL"},
        {MakeImg(std::string("x.tgz\0yy", 8), "z"), "x.tgz", "zTAIL"},
        // Nor may it lead out of the working directory.
        {MakeImg("../escape.tgz", "z"), "", ""},
        {MakeImg(p.root + "/escape.tgz", "z"), "", ""},
        {MakeImg("..", "z"), "", ""},
        {MakeImg(".", "z"), "", ""},
        {MakeImg("", "z"), "", ""},
        {MakeImg("sub/x.tgz", "z"), "", ""},
        // Nor a link planted in the working directory redirect the write.
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
    if (!Exists(img) || Exists(p.root + "/escape.tgz") || ReadAll(p.root + "/victim") != "keep") return 12;
    return PrepareFromImgFile((p.root + "/absent.img").c_str(), staged) == -1 ? 0 : 13;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

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

int Mounts(const std::string& p) {
  const std::string info = ReadAll("/proc/self/mountinfo");
  int n = 0;
  for (size_t at = info.find(" " + p + " "); at != std::string::npos; at = info.find(" " + p + " ", at + 1))
    ++n;
  return n;
}

// A package of the named files (content = name, the carried updater executable) as tgz, made
// from /tmp/pkgsrc, where a scenario may have put other files before.
bool Package(const std::string& tgz, const std::vector<std::string>& files) {
  mkdir("/tmp/pkgsrc", 0755);
  std::vector<const char*> argv = {"tar", "-czf", tgz.c_str(), "-C", "/tmp/pkgsrc"};
  for (const auto& f : files) {
    const std::string path = "/tmp/pkgsrc/" + f;
    if (!Exists(path) && (WriteAll(path, f), f == "fwapply")) chmod(path.c_str(), 0755);
    argv.push_back(f.c_str());
  }
  argv.push_back(nullptr);
  return RunCommand(argv.data()) == 0;
}

// The board: a user partition with a few files and a directory, and a /dev without any flash,
// so that a run that reaches the script selection finds no boot environment.
ChildResult OnMounts(const std::function<int()>& scenario) {
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
      OnMounts([] { return Fwapply(nullptr) != 0 || Exists("/tmp/update") || !Mounts("/mnt/user"); });
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
    ChildResult r = OnMounts([&] {
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
  ChildResult r = OnMounts([] {
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
    ChildResult r = OnMounts([&] {
      if (!Package("/tmp/inner.tgz", {"fwapply", "rootfs.img"})) return 20;
      mkdir("/tmp/update", 0700);
      mkdir("/tmp/update/sub", 0700);
      const std::string p(place), inner = ReadAll("/tmp/inner.tgz");
      WriteAll(p, p.find(".img") != std::string::npos ? MakeImg("pkg.tgz", inner) : inner);
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
       [] { return WriteAll("/tmp/pkg.img", MakeImg("pkg.tgz", "").substr(0, 428)), true; }, "/tmp/pkg.img",
       kBad, true, false},
      // 429 bytes: an empty package, which does not unpack.
      {"empty package", [] { return WriteAll("/tmp/pkg.img", MakeImg("pkg.tgz", "")), true; }, "/tmp/pkg.img",
       extract + kBad, true, false},
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
    ChildResult r = OnMounts([&] {
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
