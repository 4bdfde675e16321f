// Staging of a package, in process, as any user with the places in a private directory: the
// working directory's owner and kind, unpacking, image headers, names. What takes mounts, the
// fixed paths and the exit statuses is in test_fwapply_staging.cpp, on the real binary.
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
