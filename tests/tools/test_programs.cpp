// fwimg and fwenv as the programs they are: fwimg refuses to wrap a package with errors, and
// fwenv print judges a block as the boot loader does, from a file it may only read.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Staging.h"
#include "UCrc32.h"
#include "child.h"

using testutil::ChildResult;
using testutil::ReadAll;
using testutil::TempDir;
using testutil::WriteAll;

namespace {

const uid_t kNobody = 65534;

// The built tool with args; as nobody when unprivileged is set and this test runs as root.
ChildResult RunTool(const char* name, const std::vector<std::string>& args, bool unprivileged = false) {
  const int exe = testutil::OpenBuilt(nullptr, std::string("../../tools/") + name);
  const ChildResult r = testutil::RunChild([&]() {
    if (unprivileged && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0)) return 126;
    std::vector<std::string> all = {name};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::Wait(testutil::Spawn(exe, all));
  });
  close(exe);
  return r;
}

std::string Package(const TempDir& dir, const std::string& script) {
  WriteAll(dir.file("fwupdate_1"), script);
  WriteAll(dir.file("k.img"), std::string(0x100000, 'k'));
  const std::string out = dir.file("pkg.tgz");
  const char* argv[] = {"tar", "-czf", out.c_str(), "-C", dir.path().c_str(), "fwupdate_1", "k.img", nullptr};
  EXPECT_EQ(0, RunCommand(argv));
  return out;
}

TEST(Fwimg, RefusesAPackageWithErrorsUnlessForced) {
  TempDir dir;
  const std::string bad = Package(dir, "erase 400000 200\n"), img = dir.file("out.img");
  // Refused: nothing is written. Forced: wrapped all the same.
  const ChildResult refused = RunTool("fwimg", {bad, img});
  EXPECT_EQ(2, refused.status) << refused.err;
  EXPECT_NE(std::string::npos,
            refused.err.find("fwupdate_1:1: error: erase length 0x200 is below one eraseblock: "
                             "erases from 0x400000 to the end of the chip\nfwimg: "))
      << refused.err;
  EXPECT_NE(0, access(img.c_str(), F_OK));
  const ChildResult forced = RunTool("fwimg", {"--force", bad, img});
  EXPECT_EQ(0, forced.status) << forced.err;
  EXPECT_NE(std::string::npos, forced.err.find("has errors; wrapped anyway (--force)\n")) << forced.err;
  EXPECT_EQ(0, access(img.c_str(), F_OK));
}

TEST(Fwimg, WrapsACleanPackageInTheOldArgumentOrder) {
  TempDir dir;
  const std::string good = Package(dir, "write 200000 1c0000 k.img\n"), img = dir.file("out.img");
  const ChildResult r = RunTool("fwimg", {good, img, "board.tgz"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.err);
  const std::string wrapped = ReadAll(img);
  EXPECT_EQ(std::string("board.tgz"), wrapped.substr(kImgNameOffset, 9));
  EXPECT_EQ(ReadAll(good), wrapped.substr(kImgHeaderSize, wrapped.size() - kImgHeaderSize - 4));
}

// A block whose data area holds bytes after the closing empty string: the boot loader's CRC
// covers them, so the block is valid as it stands.
std::string Block(const std::string& tail_byte) {
  std::string block(0x20000, '\0');
  block.replace(4, 19, std::string("image=1\0board=sim\0\0", 19));
  block.replace(0x100, 5, "stale");
  const unsigned int crc = crc32(0, reinterpret_cast<const unsigned char*>(block.data()) + 4, 0x20000 - 4);
  for (int i = 0; i < 4; ++i) block[static_cast<size_t>(i)] = static_cast<char>(crc >> (8 * i));
  block.replace(0x100, 1, tail_byte);
  return block;
}

TEST(Fwenv, PrintJudgesTheStoredDataAreaFromAReadOnlyFile) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  for (const char* tail : {"s", "S"}) {
    const bool ok = tail[0] == 's';
    const std::string file = dir.file("env.bin");
    unlink(file.c_str());
    // The block at 0x20000 of a file nobody may write.
    WriteAll(file, std::string(0x20000, '\xff') + Block(tail));
    chmod(file.c_str(), 0444);
    const ChildResult r = RunTool("fwenv", {"print", file, "20000"}, true);
    EXPECT_EQ(ok ? 0 : 3, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("image=1\nboard=sim\n# crc 0x")) << r.out;
    const std::string verdict = ok ? " ok\n" : " BAD\n";
    EXPECT_EQ(r.out.size() - verdict.size(), r.out.rfind(verdict)) << r.out;
  }
}

}  // namespace
