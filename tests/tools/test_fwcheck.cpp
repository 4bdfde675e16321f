// fwcheck through its command line, in a child of this test: real packages in a temporary
// directory, each trap with the exact line fwcheck must print and the exit status it must give.
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fwcheck.h"
#include "UProcess.h"
#include "child.h"

using namespace testutil;

namespace {

ChildResult Fwcheck(std::vector<std::string> args) {
  args.insert(args.begin(), "fwcheck");
  return RunChild([&args]() {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return FwcheckMain(static_cast<int>(args.size()), argv.data());
  });
}

struct Package {
  Package() {
    WriteAll(dir.file("k.img"), std::string(0x100000, 'k'));  // 8 eraseblocks
    symlink("k.img", dir.file("link.img").c_str());
  }
  std::string Script(const std::string& text, const char* name = "fwupdate_1") {
    WriteAll(dir.file(name), text);
    return dir.path();
  }
  TempDir dir;
};

void ExpectLine(const ChildResult& r, int status, std::initializer_list<std::string> lines) {
  EXPECT_EQ(status, r.status) << r.out << r.err;
  for (const std::string& line : lines)
    EXPECT_NE(std::string::npos, ("\n" + r.out).find("\n" + line + "\n")) << line << "\n" << r.out;
}

TEST(Fwcheck, ExamplePackageOfTheBoardChecksClean) {
  Package p;
  WriteAll(p.dir.file("kernel.img"), std::string(0x100000, 'K'));
  for (const char* name : {"fwupdate_1", "fwupdate_2"})
    p.Script(ReadAll(std::string(FW_EXAMPLE_DIR) + "/" + name), name);
  const ChildResult r = Fwcheck({p.dir.path()});
  EXPECT_EQ(r.out.size() - 31, r.out.rfind("\nfwcheck: 0 errors, 0 warnings\n")) << r.out;
  ExpectLine(r, 0,
             {"fwupdate_2: note: fwapply prints \"Total Block to Write = 9\"",
              "     2  write     0x200000–0x3bffff  -              14     8      6"});
}

TEST(Fwcheck, EachTrapIsNamedWithItsLine) {
  // The status fwcheck ends with, the script, and the line of its output that follows "fwupdate_1".
  const struct {
    int status;
    const char* script;
    const char* line;
  } cases[] = {
      // The engine's budget would look an ifnpart up in the host's /proc/mtd, leaving its result.txt.
      {1, "ifnpart kernel\nifnpart kernel erase 400000 20000\n",
       ":1: warning: nothing follows the partition name: the line does nothing"},
      {2, "frob 0 0\n",
       ":1: error: unknown command \"frob\": fwapply reports it and goes on with the next line"},
      {2, "write 200000 1c0000 ../k.img\n",
       ":1: error: image \"../k.img\" lies outside the package: fwapply refuses the line and the run "
       "stops"},
      {2, "write 200000 1c0000 link.img\n",
       ":1: error: image \"link.img\" is reached through the link \"link.img\": fwapply refuses the line and "
       "the run stops"},
      {2, "\nerase 400000 200\n",
       ":2: error: erase length 0x200 is below one eraseblock: erases from 0x400000 to the end of the chip"},
      {2, "write 200000 e0000 k.img\n",
       ":1: error: image \"k.img\" needs 8 eraseblocks but its range holds 7: writes 0x200000–0x2fffff, and "
       "spills into the blocks at 0x2e0000"},
      {2, "write 200000 1c0000 k.img\r\nerase 300000 20000\r\n",
       ":2: error: range 0x300000–0x31ffff overlaps line 1's 0x200000–0x3bffff: this line erases what line 1 "
       "wrote"},
      {2, "setenv 3c0000 20000 image 2\nwrite 200000 1c0000 k.img\n",
       ":1: error: setenv image=2 switches the slot before line 2 (write), which can still fail: the board "
       "would then boot a slot that was not completely written; switch the slot last"},
      {2, "wrte 200000 1c0000 k.img\nsetenv 3c0000 20000 image 2\n",
       ":2: error: setenv image=2 switches the slot although line 1 was skipped: fwapply goes on past a line "
       "it cannot read"},
      {2, "",
       ": error: the script is empty: fwapply prints \"Total Block to Write = -1\" and never \"finish\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Package p;
    ExpectLine(Fwcheck({p.Script(c.script)}), c.status, {"fwupdate_1" + std::string(c.line)});
    EXPECT_NE(0, access(p.dir.file("result.txt").c_str(), F_OK));  // the author's directory as it was
  }
}

TEST(Fwcheck, PackagesFwapplyWouldRefuse) {
  Package p;
  const std::string dir = p.Script("erase 400000 20000\n");
  TempDir out;
  const std::string tgz = out.file("pkg.tgz"), cut = out.file("cut.tgz");
  const char* tar[] = {"tar", "-czf", tgz.c_str(), "-C", dir.c_str(), ".", nullptr};
  ASSERT_EQ(0, RunCommand(tar));
  WriteAll(cut, ReadAll(tgz).substr(0, 100));
  ExpectLine(
      Fwcheck({cut}), 2,
      {cut + ": error: the package is not a whole gzip file: fwapply refuses it (\"Invalid firmware image "
             "file, badimage, abort\")"});
  WriteAll(p.dir.file("fwapply"), "#!/bin/sh\n");
  ExpectLine(
      Fwcheck({dir}), 2,
      {dir + ": error: the package carries fwapply, but not as an executable file: fwapply refuses the "
             "package (\"fwapply is not an executable file, badimage, abort\")"});
}

TEST(Fwcheck, CommandLine) {
  Package p;
  const std::string dir = p.Script("write 200000 100000 k.img\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // how standard error begins
  } cases[] = {
      {{}, 64, "fwcheck: no package named\n"},
      {{"--spare", "100", dir}, 64, "fwcheck: --spare 100 is not a percentage from 0 to below 100\n"},
      {{dir}, 1, ""},  // the 2 % margin's warning
      {{"--spare", "0", dir}, 0, ""},
  };
  for (const auto& c : cases) {
    const ChildResult r = Fwcheck(c.args);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
  }
}

}  // namespace
