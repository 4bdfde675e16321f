// fwimg and fwenv as the programs they are: fwimg refuses to wrap a package with errors, and
// fwenv print judges a block as the boot loader does, from a file it may only read.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Staging.h"
#include "UCrc32.h"
#include "child.h"

using namespace testutil;

namespace {

// The built tool with args, as nobody when this test runs as root.
ChildResult RunTool(const char* name, const std::vector<std::string>& args) {
  const int exe = testutil::OpenBuilt(nullptr, std::string("../../tools/") + name);
  const ChildResult r = testutil::RunChild([&]() {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) return 126;
    std::vector<std::string> all = {name};
    all.insert(all.end(), args.begin(), args.end());
    return testutil::Wait(testutil::Spawn(exe, all));
  });
  close(exe);
  return r;
}

TEST(Fwimg, RefusesAPackageWithErrorsAndWrapsACleanOneInTheOldArgumentOrder) {
  TempDir dir;
  chmod(dir.path().c_str(), 0777);
  WriteAll(dir.file("k.img"), std::string(0x100000, 'k'));
  const std::string pkg = dir.file("pkg.tgz"), img = dir.file("out.img");
  const char* tar[] = {"tar", "-czf", pkg.c_str(), "-C", dir.path().c_str(), "fwupdate_1", "k.img", nullptr};
  WriteAll(dir.file("fwupdate_1"), "erase 400000 200\n");
  ASSERT_EQ(0, RunCommand(tar));
  ChildResult r = RunTool("fwimg", {pkg, img});
  EXPECT_TRUE(r.status == 2 && access(img.c_str(), F_OK) != 0) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("fwupdate_1:1: error: erase length 0x200 is below one eraseblock"));
  WriteAll(dir.file("fwupdate_1"), "write 200000 1c0000 k.img\n");
  ASSERT_EQ(0, RunCommand(tar));
  r = RunTool("fwimg", {pkg, img, "board.tgz"});
  EXPECT_EQ(0, r.status) << r.err;
  const std::string wrapped = ReadAll(img);
  EXPECT_EQ("board.tgz", wrapped.substr(kImgNameOffset, 9));
  EXPECT_EQ(ReadAll(pkg), wrapped.substr(kImgHeaderSize, wrapped.size() - kImgHeaderSize - 4));
}

// A block whose data area holds bytes after the closing empty string: the boot loader's CRC
// covers them, so the block is valid as it stands, and a changed byte there makes it bad.
TEST(Fwenv, PrintJudgesTheStoredDataAreaFromAReadOnlyFile) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string block(0x20000, '\0');
  block.replace(4, 19, std::string("image=1\0board=sim\0\0", 19));
  block.replace(0x100, 5, "stale");
  const unsigned int crc = crc32(0, reinterpret_cast<const unsigned char*>(block.data()) + 4, 0x20000 - 4);
  for (int i = 0; i < 4; ++i) block[static_cast<size_t>(i)] = static_cast<char>(crc >> (8 * i));
  for (const char* tail : {"s", "S"}) {
    const std::string file = dir.file(tail[0] == 's' ? "ok.bin" : "bad.bin");
    WriteAll(file, std::string(0x20000, '\xff') + block.replace(0x100, 1, tail));  // the block at 0x20000
    chmod(file.c_str(), 0444);
    const ChildResult r = RunTool("fwenv", {"print", file, "20000"});
    EXPECT_EQ(tail[0] == 's' ? 0 : 3, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("image=1\nboard=sim\n# crc 0x")) << r.out;
    EXPECT_EQ(tail[0] == 's' ? " ok\n" : " BAD\n", r.out.substr(r.out.rfind(' '))) << r.out;
  }
}

}  // namespace
