// The real fwapply binary staging packages, in a private mount namespace with its own /tmp,
// /mnt, /mnt/user and /dev, so the board's fixed paths are used for real and the host's never.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::RunIsolated;
using testutil::WriteAll;

namespace {

// Runs fwapply with arg (none when null) with the output of this child.
int Fwapply(int exe, const char* arg) {
  std::vector<std::string> args = {"fwapply"};
  if (arg) args.push_back(arg);
  return testutil::Wait(testutil::Spawn(exe, args));
}

bool Exists(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0;
}

bool IsMountPoint(const std::string& p) {
  return ReadAll("/proc/self/mountinfo").find(" " + p + " ") != std::string::npos;
}

// The board: a user partition with a few files, and a /dev without any flash, so that a run
// that reaches the script selection finds no boot environment.
int Board() {
  if (mount("none", "/mnt", "tmpfs", 0, nullptr) != 0 || mkdir("/mnt/user", 0755) != 0 ||
      mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0)
    return testutil::kNoNamespace;
  WriteAll("/mnt/user/settings.conf", "volume=3\n");
  WriteAll("/mnt/user/wifi.psk", "secret\n");
  if (mount("none", "/dev", "tmpfs", 0, nullptr) != 0 ||
      mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0)
    return testutil::kNoNamespace;
  return 0;
}

int Sh(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A package of the named files (content = name), as /tmp/<tgz>.
bool Package(const std::string& tgz, const std::vector<std::string>& files) {
  const std::string src = "/tmp/pkgsrc";
  Sh({"rm", "-rf", src});
  mkdir(src.c_str(), 0755);
  std::vector<std::string> args = {"tar", "-czf", tgz, "-C", src};
  for (const auto& f : files) {
    WriteAll(src + "/" + f, f);
    if (f == "fwapply") chmod((src + "/" + f).c_str(), 0755);
    args.push_back(f);
  }
  return Sh(args) == 0;
}

std::string Img(const std::string& name, const std::string& package) {
  std::string img(429, '\0');
  memcpy(&img[393], name.data(), name.size());
  return img + package + "TAIL";
}

class FwapplyStaging : public ::testing::Test {
 protected:
  void SetUp() override {
    const ChildResult probe = RunIsolated([] { return 0; });
    SKIP_IF_NOT_ISOLATED(probe);
    exe_ = testutil::OpenBuilt("FWAPPLY_BINARY", "../../updater/fwapply");
    if (exe_ < 0) FAIL() << "fwapply binary not found beside the tests (set FWAPPLY_BINARY)";
  }
  void TearDown() override {
    if (exe_ >= 0) close(exe_);
  }
  ChildResult Run(const std::function<int(int)>& scenario) {
    int exe = exe_;
    return RunIsolated([&] {
      if (int rc = Board()) return rc;
      return scenario(exe);
    });
  }
  int exe_ = -1;
};

}  // namespace

TEST_F(FwapplyStaging, NoArgumentPrintsUsageAndTouchesNothing) {
  ChildResult r = Run([](int exe) {
    int st = Fwapply(exe, nullptr);
    if (Exists("/tmp/update") || !IsMountPoint("/mnt/user")) return 10;
    return st;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("usage : fwapply <firmware image file>\n", r.out);
}

TEST_F(FwapplyStaging, OnlyTheWorkingDirectoryIsADirectoryArgument) {
  struct Case {
    const char* arg;
    const char* out;
  } cases[] = {
      // No staging, no carried-updater check; straight to the boot environment, which this
      // board lacks.
      {"/tmp/update", "cannot find image environment variable, abort\n"},
      {"/tmp/update/../update/", "cannot find image environment variable, abort\n"},
      {"/tmp/alias", "cannot find image environment variable, abort\n"},
      // Another directory would run the stale package in /tmp/update.
      {"/tmp/other", "Invalid firmware image file, badimage, abort\n"},
      {"/tmp/update/sub", "Invalid firmware image file, badimage, abort\n"},
  };
  for (const Case& c : cases) {
    ChildResult r = Run([&](int exe) {
      mkdir("/tmp/update", 0700);
      mkdir("/tmp/update/sub", 0700);
      WriteAll("/tmp/update/keep", "k");
      mkdir("/tmp/other", 0755);
      symlink("/tmp/update", "/tmp/alias");
      int st = Fwapply(exe, c.arg);
      if (!IsMountPoint("/mnt/user") || ReadAll("/tmp/update/keep") != "k" || Exists("/tmp/user")) return 10;
      return st;
    });
    EXPECT_EQ(255, r.status) << c.arg << r.err;
    EXPECT_EQ(c.out, r.out) << c.arg;
  }
  // Nor may /tmp/update be a link to the directory named.
  ChildResult r = Run([](int exe) {
    mkdir("/tmp/other", 0700);
    symlink("/tmp/other", "/tmp/update");
    return Fwapply(exe, "/tmp/other");
  });
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ("Invalid firmware image file, badimage, abort\n", r.out);
}

TEST_F(FwapplyStaging, PackageMovedExtractedDeletedAndHandedOver) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/pkg.tgz", {"fwapply", "fwupdate_1", "kernel.img"})) return 20;
    int st = Fwapply(exe, "/tmp/pkg.tgz");
    if (Exists("/tmp/pkg.tgz") || Exists("/tmp/update/pkg.tgz")) return 10;
    if (ReadAll("/tmp/update/kernel.img") != "kernel.img" || ReadAll("/tmp/update/fwapply") != "fwapply")
      return 11;
    if (ReadAll("/tmp/update/user/settings.conf") != "volume=3\n") return 12;
    if (ReadAll("/tmp/user/wifi.psk") != "secret\n" || IsMountPoint("/mnt/user")) return 13;
    if (!IsMountPoint("/tmp/update")) return 14;
    return st;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ("Extract /tmp/update/pkg.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update", r.out);
}

TEST_F(FwapplyStaging, SecondRunEmptiesTheWorkingDirectory) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/one.tgz", {"fwapply", "old.img"})) return 20;
    if (Fwapply(exe, "/tmp/one.tgz") != 0) return 21;
    // The supervising program mounts the user partition again before the next update.
    if (mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0) return 22;
    WriteAll("/mnt/user/new.conf", "n");
    if (!Package("/tmp/two.tgz", {"fwapply", "new.img"})) return 23;
    int st = Fwapply(exe, "/tmp/two.tgz");
    if (Exists("/tmp/update/old.img") || !Exists("/tmp/update/new.img")) return 10;
    if (ReadAll("/tmp/user/new.conf") != "n") return 11;
    // Emptied, not mounted a second time.
    std::string info = ReadAll("/proc/self/mountinfo");
    size_t first = info.find(" /tmp/update ");
    if (first == std::string::npos || info.find(" /tmp/update ", first + 1) != std::string::npos) return 12;
    return st;
  });
  EXPECT_EQ(0, r.status) << r.err;
}

TEST_F(FwapplyStaging, ImageFilesOf428And429Bytes) {
  ChildResult r = Run([](int exe) {
    WriteAll("/tmp/short.img", Img("pkg.tgz", "").substr(0, 428));
    if (Fwapply(exe, "/tmp/short.img") != 255) return 10;
    printf("--\n");
    if (mount("none", "/mnt/user", "tmpfs", 0, nullptr) != 0) return 22;
    WriteAll("/tmp/min.img", Img("pkg.tgz", "").substr(0, 429));
    int st = Fwapply(exe, "/tmp/min.img");
    if (!Exists("/tmp/min.img")) return 11;
    return st;
  });
  // 429 bytes: an empty package, which does not unpack.
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ(
      "Invalid firmware image file, badimage, abort\n--\n"
      "Extract /tmp/update/pkg.tgz \nInvalid firmware image file, badimage, abort\n",
      r.out);
}

TEST_F(FwapplyStaging, UserPartitionNotMounted) {
  ChildResult r = Run([](int exe) {
    if (umount("/mnt/user") != 0) return 20;
    if (!Package("/tmp/pkg.tgz", {"fwapply"})) return 21;
    int st = Fwapply(exe, "/tmp/pkg.tgz");
    if (!Exists("/tmp/pkg.tgz")) return 10;  // the package is still where it was
    return st;
  });
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ("umount user partition failed , error code = 22, Abort\n", r.out);
}

TEST_F(FwapplyStaging, DamagedPackageIsRefusedBeforeTheBootEnvironment) {
  struct Case {
    const char* arg;
    std::function<void()> make;
  } cases[] = {
      {"/tmp/pkg.tgz", [] { WriteAll("/tmp/pkg.tgz", ReadAll("/tmp/inner.tgz").substr(0, 300)); }},
      {"/tmp/pkg.img",
       [] {
         std::string p = ReadAll("/tmp/inner.tgz");
         p[p.size() / 2] ^= 1;
         WriteAll("/tmp/pkg.img", Img("pkg.tgz", p));
       }},
  };
  for (const Case& c : cases) {
    ChildResult r = Run([&](int exe) {
      std::string noise(100000, '\0');
      for (size_t i = 0; i < noise.size(); i++) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
      if (!Package("/tmp/inner.tgz", {"fwupdate_1"})) return 20;
      WriteAll("/tmp/pkgsrc/rootfs.img", noise);
      if (Sh({"tar", "-czf", "/tmp/inner.tgz", "-C", "/tmp/pkgsrc", "fwupdate_1", "rootfs.img"}) != 0)
        return 21;
      c.make();
      int st = Fwapply(exe, c.arg);
      if (Exists("/tmp/update/fwupdate_1") || ReadAll("/tmp/user/settings.conf") != "volume=3\n") return 10;
      return st;
    });
    EXPECT_EQ(255, r.status) << c.arg << r.err;
    EXPECT_EQ("Extract /tmp/update/pkg.tgz \nInvalid firmware image file, badimage, abort\n", r.out) << c.arg;
  }
}

TEST_F(FwapplyStaging, WorkingDirectoryOfAnotherOrThroughALinkIsRefused) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/pkg.tgz", {"fwapply"})) return 20;
    mkdir("/tmp/victim", 0700);
    WriteAll("/tmp/victim/keep", "k");
    symlink("/tmp/victim", "/tmp/update");
    int st = Fwapply(exe, "/tmp/pkg.tgz");
    if (ReadAll("/tmp/victim/keep") != "k" || Exists("/tmp/victim/fwapply") || !Exists("/tmp/pkg.tgz"))
      return 10;
    if (!IsMountPoint("/mnt/user")) return 11;
    return st;
  });
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ("Invalid firmware image file, badimage, abort\n", r.out);
}

TEST_F(FwapplyStaging, SecondRunWhileOneRunsTouchesNothing) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/pkg.tgz", {"fwapply"})) return 20;
    mkdir("/tmp/update", 0700);
    WriteAll("/tmp/update/fwupdate_1", "the running update's");
    // What a run holds from its start to its end.
    int lock = open("/tmp/fwapply.lock", O_RDWR | O_CREAT, 0600);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) return 21;
    int busy = Fwapply(exe, "/tmp/pkg.tgz");
    int dir = Fwapply(exe, "/tmp/update");
    if (ReadAll("/tmp/update/fwupdate_1") != "the running update's" || !Exists("/tmp/pkg.tgz")) return 10;
    if (!IsMountPoint("/mnt/user")) return 11;
    close(lock);
    // Once it has ended, the next run (or the carried updater) goes ahead.
    int next = Fwapply(exe, "/tmp/pkg.tgz");
    return busy == 255 && dir == 255 && next == 0 ? 0 : 12;
  });
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(
      "another fwapply is running, abort\nanother fwapply is running, abort\n"
      "Extract /tmp/update/pkg.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update",
      r.out);
}

TEST_F(FwapplyStaging, LockPlantedByAnotherIsNotTaken) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/pkg.tgz", {"fwapply"})) return 20;
    WriteAll("/tmp/victim", "v");
    symlink("/tmp/victim", "/tmp/fwapply.lock");
    int st = Fwapply(exe, "/tmp/pkg.tgz");
    if (ReadAll("/tmp/victim") != "v" || !Exists("/tmp/pkg.tgz") || !IsMountPoint("/mnt/user")) return 10;
    return st;
  });
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("cannot take the lock /tmp/fwapply.lock")) << r.out;
}

TEST_F(FwapplyStaging, RetryWithTheUserPartitionUnmountedKeepsTheUserCopy) {
  ChildResult r = Run([](int exe) {
    if (!Package("/tmp/one.tgz", {"fwapply"}) || Fwapply(exe, "/tmp/one.tgz") != 0) return 20;
    printf("--\n");
    if (!Package("/tmp/two.tgz", {"fwapply"})) return 21;
    int st = Fwapply(exe, "/tmp/two.tgz");
    if (ReadAll("/tmp/user/wifi.psk") != "secret\n" || !Exists("/tmp/two.tgz")) return 10;
    return st;
  });
  EXPECT_EQ(255, r.status) << r.err;
  EXPECT_EQ(
      "Extract /tmp/update/one.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update--\n"
      "umount user partition failed , error code = 22, Abort\n",
      r.out);
}

TEST_F(FwapplyStaging, PackageOnTheUserPartitionOrInTheWorkingDirectory) {
  const char* places[] = {"/mnt/user/pkg.tgz", "/mnt/user/fw.img", "/tmp/update/pkg.tgz",
                          "/tmp/update/sub/fw.img"};
  for (const char* place : places) {
    ChildResult r = Run([&](int exe) {
      if (!Package("/tmp/inner.tgz", {"fwapply", "rootfs.img"})) return 20;
      mkdir("/tmp/update", 0700);
      mkdir("/tmp/update/sub", 0700);
      const std::string p(place);
      WriteAll(p, p.find(".img") != std::string::npos ? Img("pkg.tgz", ReadAll("/tmp/inner.tgz"))
                                                      : ReadAll("/tmp/inner.tgz"));
      int st = Fwapply(exe, place);
      if (ReadAll("/tmp/update/rootfs.img") != "rootfs.img" || Exists("/tmp/update/pkg.tgz")) return 10;
      // The user copy holds the user's files, not a moved package.
      if (ReadAll("/tmp/user/wifi.psk") != "secret\n" || Exists("/tmp/user/pkg.tgz")) return 11;
      return st;
    });
    EXPECT_EQ(0, r.status) << place << r.err;
    EXPECT_EQ("Extract /tmp/update/pkg.tgz \nChecking fwapply \n/tmp/update/fwapply /tmp/update", r.out)
        << place;
  }
}

TEST_F(FwapplyStaging, CarriedUpdaterThatCannotRunIsNotHandedOver) {
  struct Case {
    const char* what;
    std::function<void()> make;
  } cases[] = {
      {"not executable",
       [] {
         WriteAll("/tmp/pkgsrc/fwapply", "#!/bin/sh\n");
         chmod("/tmp/pkgsrc/fwapply", 0644);
       }},
      {"a directory", [] { mkdir("/tmp/pkgsrc/fwapply", 0755); }},
      {"a link",
       [] {
         if (symlink("/bin/sh", "/tmp/pkgsrc/fwapply")) {
         }
       }},
  };
  for (const Case& c : cases) {
    ChildResult r = Run([&](int exe) {
      if (!Package("/tmp/pkg.tgz", {"fwupdate_1"})) return 20;
      c.make();
      if (Sh({"tar", "-czf", "/tmp/pkg.tgz", "-C", "/tmp/pkgsrc", "fwupdate_1", "fwapply"}) != 0) return 21;
      return Fwapply(exe, "/tmp/pkg.tgz");
    });
    EXPECT_EQ(255, r.status) << c.what << r.err;
    EXPECT_EQ(
        "Extract /tmp/update/pkg.tgz \nChecking fwapply \nfwapply is not an executable file, badimage, "
        "abort\n",
        r.out)
        << c.what;
  }
}
