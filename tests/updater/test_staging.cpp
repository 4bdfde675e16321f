// Staging of a package: working directory, user partition, moved, extracted and unwrapped
// packages. Scenarios with mounts run in a private mount namespace with its own /tmp and /mnt
// (root only); the others as any user with the places in a private directory.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

using testboard::InPlaces;
using testboard::Places;
using testutil::ChildResult;
using testutil::ReadAll;
using testutil::RunIsolated;
using testutil::WriteAll;

namespace {

const long kTmpfsMagic = 0x01021994;

using testboard::Exists;

bool IsMountPoint(const std::string& p) {
  std::string info = ReadAll("/proc/self/mountinfo");
  return info.find(" " + p + " ") != std::string::npos;
}

// The board's user partition: a tmpfs on /mnt/user holding a few files and a directory.
int MountUser() {
  if (mount("none", "/mnt", "tmpfs", 0, nullptr) != 0) return testutil::kNoNamespace;
  if (mkdir("/mnt/user", 0755) != 0 || mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0)
    return testutil::kNoNamespace;
  WriteAll("/mnt/user/settings.conf", "volume=3\n");
  WriteAll("/mnt/user/calib.bin", std::string("\x01\x02\x00\x03", 4));
  mkdir("/mnt/user/logs", 0755);
  return 0;
}

// An image file: header with the name field, package, 4 final bytes.
std::string MakeImg(const std::string& name, const std::string& package, const std::string& tail = "TAIL") {
  std::string img(kImgHeaderSize, '\0');
  memset(&img[0], 'H', 393);
  memcpy(&img[393], name.data(), name.size() > 36 ? 36 : name.size());
  return img + package + tail;
}

// A gzip tar holding the named files, built with the system's tar.
bool MakeTgz(const std::string& tgz, const std::vector<std::pair<std::string, std::string>>& files) {
  std::string dir = tgz + ".src";
  mkdir(dir.c_str(), 0755);
  std::vector<std::string> args = {"tar", "-czf", tgz, "-C", dir};
  for (const auto& f : files) {
    WriteAll(dir + "/" + f.first, f.second);
    args.push_back(f.first);
  }
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return RunCommand(argv.data()) == 0;
}

}  // namespace

TEST(StagingWorkDir, FreshRunMountsRamDiskOfRootsAloneSavesUserFilesAndUnmounts) {
  ChildResult r = RunIsolated([] {
    if (int rc = MountUser()) return rc;
    if (!UserPartitionMounted()) return 9;
    if (PrepareWorkingDir() != 0) return 10;
    int ret = SaveUserPartition();
    fflush(stdout);
    if (ret == 0) return 10;
    struct statfs fs;
    if (statfs("/tmp/update", &fs) != 0 || fs.f_type != kTmpfsMagic) return 11;
    if (static_cast<unsigned long long>(fs.f_blocks) * fs.f_bsize != 256ull << 20) return 12;
    struct stat st;
    if (stat("/tmp/update", &st) != 0 || (st.st_mode & 07777) != 0700) return 18;
    if (ReadAll("/tmp/update/user/settings.conf") != "volume=3\n") return 13;
    if (ReadAll("/tmp/update/user/calib.bin") != std::string("\x01\x02\x00\x03", 4)) return 14;
    if (Exists("/tmp/update/user/logs")) return 15;  // a flat copy: directories stay behind
    char link[64] = {0};
    if (readlink("/tmp/user", link, sizeof link - 1) < 0 || std::string(link) != "/tmp/update/user")
      return 16;
    if (IsMountPoint("/mnt/user") || UserPartitionMounted()) return 17;
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("", r.out);
}

TEST(StagingWorkDir, ExistingDirectoryIsEmptiedButForASetAsidePackage) {
  ChildResult r = RunIsolated([] {
    if (int rc = MountUser()) return rc;
    mkdir("/tmp/update", 0700);
    WriteAll("/tmp/update/old.tgz", "old");
    WriteAll("/tmp/update/.hidden", "h");
    mkdir("/tmp/update/olddir", 0755);
    WriteAll("/tmp/update/olddir/x", "x");
    symlink("/tmp/elsewhere", "/tmp/update/olddir/link");
    WriteAll("/tmp/elsewhere", "e");
    WriteAll("/tmp/update/pkg.tgz", "new");
    std::string kept;
    if (PrepareWorkingDir("/tmp/update/pkg.tgz", &kept) != 0) return 9;
    if (kept.compare(0, 12, "/tmp/update/") != 0 || ReadAll(kept) != "new") return 10;
    if (Exists("/tmp/update/old.tgz") || Exists("/tmp/update/olddir") || Exists("/tmp/update/.hidden"))
      return 11;
    if (ReadAll("/tmp/elsewhere") != "e" || IsMountPoint("/tmp/update")) return 12;
    symlink("/tmp/elsewhere", "/tmp/user");  // a stale link is replaced
    SaveUserPartition();
    if (!Exists("/tmp/update/user/settings.conf")) return 13;
    char link[64] = {0};
    if (readlink("/tmp/user", link, sizeof link - 1) < 0 || std::string(link) != "/tmp/update/user")
      return 14;
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
}

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
      if (ReadAll(p.root + "/victim/keep") != "k" || IsMountPoint(p.work)) return 11;
      return 0;
    });
    skipped |= r.status == testutil::kNoNamespace;
    EXPECT_TRUE(r.status == 0 || r.status == testutil::kNoNamespace) << c.what << r.status << r.err;
  }
  if (skipped) GTEST_SKIP() << "a directory of another owner needs root";
}

TEST(StagingUnpack, OnlyAWholeIntactPackageIsUnpacked) {
  // A package as the board gets it, with what may happen to it on the way.
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> damage;
    bool unpacks;
  } cases[] = {
      {"intact", [](const std::string& p) { return p; }, true},
      {"an image's 4 final bytes", [](const std::string& p) { return p + "TAIL"; }, true},
      {"cut short", [](const std::string& p) { return p.substr(0, p.size() - 200); }, false},
      {"without its trailer", [](const std::string& p) { return p.substr(0, p.size() - 8); }, false},
      {"one bit flipped",
       [](const std::string& p) {
         std::string d = p;
         d[d.size() / 2] ^= 4;
         return d;
       },
       false},
      {"wrong length",
       [](const std::string& p) {
         std::string d = p;
         d[d.size() - 1] ^= 1;
         return d;
       },
       false},
      {"not gzip", [](const std::string&) { return std::string(4096, 'x'); }, false},
      {"empty", [](const std::string&) { return std::string(); }, false},
      {"a FIFO", [](const std::string&) { return std::string("fifo"); }, false},
  };
  for (const Case& c : cases) {
    ChildResult r = InPlaces([&](Places& p) {
      const std::string noise = testboard::Pattern(300000, 5);
      if (!MakeTgz(p.root + "/pkg.tgz", {{"fwupdate_1", "erase 0 20000\n"}, {"rootfs.img", noise}}))
        return 20;
      mkdir(p.path("user").c_str(), 0755);
      p.put("user/settings.conf", "s");
      const std::string pkg = c.damage(ReadAll(p.root + "/pkg.tgz"));
      if (pkg == "fifo") {
        alarm(10);
        mkfifo(p.path("pkg.tgz").c_str(), 0600);
      } else {
        p.put("pkg.tgz", pkg);
      }
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
  ChildResult r = RunIsolated([] {
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

TEST(StagingTar, PackageIsMovedExtractedAndDeleted) {
  ChildResult r = RunIsolated([] {
    if (int rc = MountUser()) return rc;
    if (!MakeTgz("/tmp/pkg.tgz", {{"fwupdate_1", "write 200000 20000 kernel.img\n"}, {"kernel.img", "K"}}))
      return 20;
    PrepareWorkingDir();
    SaveUserPartition();
    char staged[kStagedPathSize];
    if (PrepareFromTarFile("/tmp/pkg.tgz", staged) != 0) return 10;
    if (std::string(staged) != "/tmp/update/pkg.tgz") return 11;
    if (Exists("/tmp/pkg.tgz") || !Exists(staged)) return 12;
    if (UntarUpdateFile(staged) != 0) return 13;
    if (Exists(staged)) return 14;
    if (ReadAll("/tmp/update/kernel.img") != "K") return 15;
    if (CheckUpdateFile("fwupdate_1") != 0) return 16;
    if (CheckUpdateFile("fwapply") != -1) return 17;
    // A package that is not there: nothing extracted, nothing printed.
    if (UntarUpdateFile("/tmp/update/none.tgz") != 0) return 18;
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "Extract /tmp/update/pkg.tgz \nChecking fwupdate_1 \nChecking fwapply \nfwapply is not found in "
      "image\n",
      r.out);
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
    // A name that looks like an option is still a file.
    WriteAll(p.root + "/-rf.tgz", "p");
    if (PrepareFromTarFile((p.root + "/-rf.tgz").c_str(), staged) != 0 || p.get("-rf.tgz") != "p") return 14;
    // A path too long for the working directory is refused and stays where it is.
    const std::string path = p.root + "/" + std::string(250, 'p') + ".tgz";
    WriteAll(path, "p");
    if (PrepareFromTarFile(path.c_str(), staged) != -1 || staged[0] != '\0' || !Exists(path)) return 15;
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.out << r.err;
}

TEST(StagingImg, HeaderSizesNameFieldAndCopyRule) {
  ChildResult r = InPlaces([](Places& p) {
    char staged[kStagedPathSize];
    const std::string img = p.root + "/a.img";
    // 428 bytes: refused; 429: accepted with an empty package.
    WriteAll(img, MakeImg("pkg.tgz", "").substr(0, 428));
    if (PrepareFromImgFile(img.c_str(), staged) != -1) return 10;
    WriteAll(img, MakeImg("pkg.tgz", "").substr(0, 429));
    if (PrepareFromImgFile(img.c_str(), staged) != 0) return 11;
    if (std::string(staged) != p.path("pkg.tgz") || !Exists(staged) || !ReadAll(staged).empty()) return 12;
    const struct {
      std::string name, package, staged;
    } cases[] = {
        // Package and the 4 final bytes are copied.
        {"pkg.tgz", testboard::Pattern(3 * 0x100000 + 77, 3),
         testboard::Pattern(3 * 0x100000 + 77, 3) + "TAIL"},
        // A leftover longer file of the same name does not keep its tail.
        {"pkg.tgz", "tiny", "tinyTAIL"},
        // Package of exactly one chunk: the copy stops after it, the final bytes stay behind.
        {"one.tgz", std::string(0x100000, 'o'), std::string(0x100000, 'o')},
        // A name of all 36 characters without a NUL.
        {std::string(32, 'n') + ".tgz", "z", "zTAIL"},
    };
    for (const auto& c : cases) {
      WriteAll(img, MakeImg(c.name, c.package));
      if (PrepareFromImgFile(img.c_str(), staged) != 0 || std::string(staged) != p.path(c.name)) return 13;
      if (ReadAll(staged) != c.staged || !Exists(img)) return 14;
    }
    if (PrepareFromImgFile((p.root + "/absent.img").c_str(), staged) != -1) return 18;
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

TEST(StagingImg, NameFieldCannotLeadOutOfTheWorkingDirectory) {
  ChildResult r = InPlaces([](Places& p) {
    char staged[kStagedPathSize];
    const std::string img = p.root + "/e.img";
    for (const std::string& name : {std::string("../escape.tgz"), p.root + "/escape.tgz", std::string(".."),
                                    std::string("."), std::string(), std::string("sub/x.tgz")}) {
      WriteAll(img, MakeImg(name, "payload"));
      if (PrepareFromImgFile(img.c_str(), staged) != -1 || staged[0] != '\0') return 10;
    }
    if (Exists(p.root + "/escape.tgz")) return 12;
    // Nor may a link planted in the working directory redirect the write.
    WriteAll(p.root + "/victim", "keep");
    symlink((p.root + "/victim").c_str(), p.path("link.tgz").c_str());
    WriteAll(img, MakeImg("link.tgz", "payload"));
    if (PrepareFromImgFile(img.c_str(), staged) != -1 || ReadAll(p.root + "/victim") != "keep") return 13;
    return 0;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

TEST(StagingImg, ParseImgHeader) {
  std::string name;
  std::string h = MakeImg("pkg.tgz", "");
  EXPECT_EQ(0, ParseImgHeader(reinterpret_cast<const unsigned char*>(h.data()), h.size(), name));
  EXPECT_EQ("pkg.tgz", name);
  EXPECT_EQ(-1, ParseImgHeader(reinterpret_cast<const unsigned char*>(h.data()), kImgHeaderSize - 1, name));
  EXPECT_EQ("", name);
  // Bytes after the first NUL of the field do not belong to the name.
  h[393 + 7] = '\0';
  h[393 + 8] = 'x';
  EXPECT_EQ(0, ParseImgHeader(reinterpret_cast<const unsigned char*>(h.data()), h.size(), name));
  EXPECT_EQ("pkg.tgz", name);
}

TEST(StagingRun, CommandsRunWithoutAShell) {
  ChildResult r = InPlaces([](Places& p) {
    if (chdir(p.root.c_str()) != 0) return 20;
    const char* argv[] = {"touch", "a b; touch c", nullptr};
    if (RunCommand(argv) != 0 || !Exists("a b; touch c") || Exists("c")) return 11;
    const char* none[] = {"/nonexistent/program", nullptr};
    const char* fail[] = {"false", nullptr};
    return RunCommand(none) == 127 && RunCommand(fail) == 1 ? 0 : 12;
  });
  EXPECT_EQ(0, r.status) << r.err;
}
