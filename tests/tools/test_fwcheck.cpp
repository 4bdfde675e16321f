// fwcheck through its command line, in a child of this test: real packages in a temporary
// directory, each trap with the exact line fwcheck must print and the exit status it must give.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Fwcheck.h"
#include "Staging.h"
#include "child.h"

using testutil::ChildResult;
using testutil::TempDir;
using testutil::WriteAll;

namespace {

const char kLayout[] =
    "dev:    size   erasesize  name\n"
    "mtd0: 08000000 00020000 \"nand\"\n"
    "mtd1: 00200000 00020000 \"boot\"\n"
    "mtd2: 001c0000 00020000 \"kernel1\"\n"
    "mtd3: 00020000 00020000 \"spare\"\n"
    "mtd4: 00020000 00020000 \"env\"\n"
    "mtd5: 001c0000 00020000 \"kernel2\"\n";

ChildResult Fwcheck(std::vector<std::string> args) {
  args.insert(args.begin(), "fwcheck");
  return testutil::RunChild([&args]() {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    return FwcheckMain(static_cast<int>(args.size()), argv.data());
  });
}

// A package directory with the images every case may name.
struct Package {
  Package() {
    WriteAll(dir.file("k.img"), std::string(0x100000, 'k'));    // 8 eraseblocks
    WriteAll(dir.file("big.img"), std::string(0x1e0000, 'b'));  // 15
    WriteAll(dir.file("odd.oob"), std::string(4096, 'o'));      // not 2080-byte records
    mkdir(dir.file("sub").c_str(), 0755);
    symlink("k.img", dir.file("link.img").c_str());
  }
  std::string Script(const std::string& text, const char* name = "fwupdate_1") {
    WriteAll(dir.file(name), text);
    return dir.path();
  }
  std::string Tar(const std::string& out) {
    const char* argv[] = {"tar", "-czf", out.c_str(), "-C", dir.path().c_str(), ".", nullptr};
    EXPECT_EQ(0, RunCommand(argv));
    return out;
  }
  TempDir dir;
};

// Each of lines must be one of the output's lines.
void ExpectLine(const ChildResult& r, int status, std::initializer_list<std::string> lines) {
  EXPECT_EQ(status, r.status) << r.out << r.err;
  for (const std::string& line : lines)
    EXPECT_NE(std::string::npos, ("\n" + r.out).find("\n" + line + "\n")) << line << "\n" << r.out;
}

TEST(Fwcheck, ExamplePackageOfTheBoardChecksClean) {
  // Packed as scripts/board.sh packs it: the example scripts and a 1 MiB kernel.img.
  Package p;
  WriteAll(p.dir.file("kernel.img"), std::string(0x100000, 'K'));
  for (const char* name : {"fwupdate_1", "fwupdate_2"})
    p.Script(testutil::ReadAll(std::string(FW_EXAMPLE_DIR) + "/" + name), name);
  TempDir out;
  const ChildResult r = Fwcheck({p.Tar(out.file("pkg.tgz"))});
  for (const char* absent : {"error:", "warning:"}) EXPECT_EQ(std::string::npos, r.out.find(absent)) << r.out;
  EXPECT_EQ(r.out.size() - 31, r.out.rfind("\nfwcheck: 0 errors, 0 warnings\n"));
  ExpectLine(r, 0,
             {"fwupdate_2: note: fwapply prints \"Total Block to Write = 9\"",
              "     2  write     0x200000–0x3bffff  -              14     8      6"});
}

TEST(Fwcheck, EachTrapIsNamedWithItsLine) {
  // One past each of the format's limits: a 256-character line, a 16384-byte script.
  const std::string long_line = "erase 400000 20000" + std::string(238, ' ') + "\n";
  std::string long_script;
  while (long_script.size() + 19 <= 16378) long_script += "erase 400000 20000\n";
  long_script += "     \n";
  // The status fwcheck ends with, the script, and one line of its output; a line that begins with
  // ':' follows the script's name.
  const struct {
    int status;
    const char* script;
    const char* line;
  } cases[] = {
      {2, "frob 0 0\n",
       ":1: error: unknown command \"frob\": fwapply reports it and goes on with the next line"},
      {2, "write 200000 1c0000\n",
       ":1: error: incomplete \"write\" line: 3 words of the 4 it needs; fwapply skips it and goes on"},
      {2, "write 200000 1c0000 no.img\n",
       ":1: error: image \"no.img\" is not in the package: fwapply stops the run here"},
      {2, "write 200000 1c0000 sub\n",
       ":1: error: image \"sub\" is not a regular file: fwapply refuses the line and the run stops"},
      {2, "write 200000 1c0000 sub/../../k.img\n",
       ":1: error: image \"sub/../../k.img\" lies outside the package: fwapply refuses the line and the run "
       "stops"},
      {2, "write 200000 1c0000 /k.img\n",
       ":1: error: image \"/k.img\" is an absolute path: fwapply reads /k.img inside the package, not the "
       "board's file"},
      {2, "write 200000 1c0000 link.img\n",
       ":1: error: image \"link.img\" is reached through the link \"link.img\": fwapply refuses the line and "
       "the run stops"},
      {2, "writeoob 200000 20000 odd.oob\n",
       ":1: error: OOB image \"odd.oob\" (4096 bytes) is not a whole number of 2080-byte records: fwapply "
       "refuses the line"},
      {2, "erase 201000 20000\n",
       ":1: error: start 0x201000 is not on an eraseblock boundary: fwapply refuses the line"},
      {2, "\nerase 400000 200\n",
       ":2: error: erase length 0x200 is below one eraseblock: erases from 0x400000 to the end of the chip"},
      {2, "erase 7fe0000 40000\n",
       ":1: error: range 0x7fe0000+0x40000 is outside the 0x8000000-byte chip: fwapply refuses the line"},
      {2, "write 200000 e0000 k.img\n",
       ":1: error: image \"k.img\" needs 8 eraseblocks but its range holds 7: writes 0x200000–0x2fffff, and "
       "spills into the blocks at 0x2e0000"},
      {1, "write 200000 100000 k.img\n",
       ":1: warning: image \"k.img\" leaves 0 of its 8 eraseblocks spare, fewer than the 2 % margin (1) for "
       "bad blocks: one bad block more and it spills into the blocks at 0x300000"},
      {2, "write 200000 1c0000 k.img\r\nerase 300000 20000\r\n",
       ":2: error: range 0x300000–0x31ffff overlaps line 1's 0x200000–0x3bffff: this line erases what line 1 "
       "wrote"},
      {1, "write 0 1c0000 k.img\n",
       ":1: warning: range 0x0–0x1bffff begins at the chip's first byte, where boards keep their boot "
       "loader: offsets address the whole chip, not a partition"},
      {2, "erase 3a0000 40000\n",
       ":1: error: range 0x3a0000–0x3dffff crosses a partition boundary into env at 0x3c0000"},
      {2, "setenv 3c0000 20000 a=b c\n",
       ":1: error: variable name \"a=b\" holds \"=\": fwapply refuses the line"},
      {1, "setenv 400000 20000 a b\n",
       ":1: warning: setenv writes 0x400000–0x41ffff, not the boot environment env (0x3c0000–0x3dffff) that "
       "the boot loader and fwapply read"},
      {2, "chkver /etc/version 1\n",
       ":1: error: version \"1\" is not MAJOR.MINOR: chkver stops the run here and no line after it runs"},
      {1, "erase 400000 20000\nchkver /etc/version 1.0\n",
       ":2: warning: chkver comes after line 1, which already changed the flash: a board that fails the "
       "check keeps that change"},
      {2, "setenv 3c0000 20000 image 2\nwrite 200000 1c0000 k.img\n",
       ":1: error: setenv image=2 switches the slot before line 2 (write), which can still fail: the board "
       "would then boot a slot that was not completely written; switch the slot last"},
      {2, "wrte 200000 1c0000 k.img\nsetenv 3c0000 20000 image 2\n",
       ":2: error: setenv image=2 switches the slot although line 1 was skipped: fwapply goes on past a line "
       "it cannot read"},
      {0, "erase 7fe0000 20000\nwrite 400000 1c0000 k.img\nerase 3e0000 20000\n",
       ": note: fwapply prints \"Total Block to Write = 8\""},
      {0, "dupoob 400000 40000 20000 200000\n",
       "     1  dupoob    0x400000–0x43ffff  -               2     1      1"},
      {0, "erase 0x400000 20000h\n", ": note: fwapply prints \"Total Block to Write = 0\""},
      {1, "erase 400000 20000z\n",
       ":1: warning: number \"20000z\" reads as 0x20000: fwapply reads hexadecimal digits up to the first "
       "other character"},
      {2, "ifnpart [ erase 400000 20000\n",
       ":1: error: pattern \"[\" is no basic regular expression: fwapply runs the rest of the line on every "
       "board"},
      {2, "dupoob 400000 20000 800 1001\n",
       ":1: error: source start 0x1001 is not on a page boundary: the copy fails with \"dump data "
       "failed,abort!\" and fwapply ends with status 1"},
      {1, long_line.c_str(),
       ":1: warning: the line is 256 characters, over the format's 255: fwapply runs it whole, but an "
       "updater that keeps to the format cuts it"},
      {1, long_script.c_str(),
       ": warning: the script is 16384 bytes, over the format's 16383: fwapply runs it whole, but an updater "
       "that keeps to the format cuts it"},
      {2, "",
       ": error: the script is empty: fwapply prints \"Total Block to Write = -1\" and never \"finish\""},
      {0, "write 200000 1c0000 k.img\nsetenv 3c0000 20000 image 2\n",
       ": note: fwapply prints \"Total Block to Write = 9\""},
      // The engine's budget counts a dupoob by its target length even when the line is too short to run.
      {2, "dupoob 400000 40000\n", ": note: fwapply prints \"Total Block to Write = 2\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.script);
    Package p;
    ExpectLine(Fwcheck({p.Script(c.script)}), c.status,
               {(c.line[0] == ':' ? "fwupdate_1" : "") + std::string(c.line)});
  }
}

// A package as it arrives: an image header of 429 bytes, the .tgz, 4 final bytes.
std::string Image(const std::string& tgz, const std::string& name) {
  std::string img(kImgHeaderSize, '\0');
  img.replace(kImgNameOffset, name.size(), name);
  return img + testutil::ReadAll(tgz) + "CRC!";
}

TEST(Fwcheck, PackagesFwapplyWouldRefuse) {
  Package p, folder, numbered, carried;
  p.Script("write 200000 1c0000 k.img\nsetenv 3c0000 20000 image 2\n");
  TempDir out;
  const std::string tgz = p.Tar(out.file("pkg.tgz")), whole = testutil::ReadAll(tgz);
  WriteAll(out.file("cut.tgz"), whole.substr(0, whole.size() / 2));
  WriteAll(out.file("pkg.img"), Image(tgz, "pkg.tgz"));
  WriteAll(out.file("short.img"), std::string(428, 'x'));
  WriteAll(out.file("name.img"), Image(tgz, "../pkg.tgz"));
  WriteAll(out.file("pkg"), whole);
  mkdir(folder.dir.file("pkg").c_str(), 0755);
  WriteAll(folder.dir.file("pkg/a.img"), "a");
  WriteAll(folder.dir.file("pkg/fwupdate_1"), "erase 400000 20000\n");
  numbered.Script("erase 400000 20000\n");
  numbered.Script("erase 400000 20000\n", "fwupdate_01");
  carried.Script("erase 400000 20000\n");
  WriteAll(carried.dir.file("fwapply"), "#!/bin/sh\n");
  // A line that begins with ':' is about the package as a whole and follows its path.
  const struct {
    int status;
    std::string path, line;
  } cases[] = {
      {0, out.file("pkg.img"), "fwupdate_1: note: fwapply prints \"Total Block to Write = 9\""},
      // Named neither way: refused by fwapply, still checked by what it holds.
      {2, out.file("pkg"), "fwupdate_1: note: fwapply prints \"Total Block to Write = 9\""},
      {2, out.file("cut.tgz"),
       ": error: the package is not a whole gzip file: fwapply refuses it (\"Invalid firmware image file, "
       "badimage, abort\")"},
      {2, out.file("short.img"),
       ": error: the image is 428 bytes, too short for an image: fwapply refuses it as a bad image"},
      {2, out.file("name.img"),
       ": error: the image's name field is no plain file name: fwapply refuses it as a bad image"},
      {2, folder.dir.path(),
       ": error: the package holds no fwupdate_<N> script: fwapply refuses it (\"fail to open fwupdate_N, "
       "badimage, abort\"); pkg/fwupdate_1 lies in a folder: pack the files at the top level"},
      {1, numbered.dir.path(),
       "fwupdate_01: warning: never runs: fwapply runs fwupdate_<image> with image written as a plain "
       "decimal number"},
      {2, carried.dir.path(),
       ": error: the package carries fwapply, but not as an executable file: fwapply refuses the package "
       "(\"fwapply is not an executable file, badimage, abort\")"},
  };
  for (const auto& c : cases)
    ExpectLine(Fwcheck({c.path}), c.status, {(c.line[0] == ':' ? c.path : "") + c.line});
}

// The engine's own budget would look an ifnpart up in the host's /proc/mtd and leave its
// result.txt in the package: fwcheck must leave an author's directory as it found it.
TEST(Fwcheck, LeavesThePackageDirectoryAsItWas) {
  Package p;
  const std::string dir = p.Script("ifnpart kernel\nifnpart kernel erase 400000 20000\n");
  EXPECT_EQ(1, Fwcheck({dir}).status);
  EXPECT_NE(0, access(p.dir.file("result.txt").c_str(), F_OK));
}

TEST(Fwcheck, LayoutNamesPartitions) {
  Package p;
  WriteAll(p.dir.file("mtd"), kLayout);
  p.Script(
      "write 200000 1c0000 big.img\nifnpart kernel2 erase 600000 20000\nifnpart kernel3 erase 400000 "
      "20000\n");
  ExpectLine(Fwcheck({"--layout", p.dir.file("mtd"), p.dir.path()}), 2,
             {"fwupdate_1:1: error: image \"big.img\" needs 15 eraseblocks but its range holds 14: writes "
              "0x200000–0x3dffff: kernel1, and spills into spare at 0x3c0000",
              "fwupdate_1:2: note: \"kernel2\" matches \"mtd5: 001c0000 00020000 \"kernel2\"\" of this "
              "layout: the rest of the line does not run and is not checked",
              "     3  erase     0x400000–0x41ffff  kernel2         1     -      -"});
  // A first line as large as all the others is the whole chip, not a partition before them.
  WriteAll(p.dir.file("mtd"), "mtd0: 00400000 00020000 \"nand\"\nmtd1: 00200000 00020000 \"kernel\"\n");
  // The board's /proc/mtd always begins with its header, a copy without it too.
  p.Script("erase 400000 20000\nifnpart erasesize erase 200000 20000\n");
  ExpectLine(Fwcheck({"--layout", p.dir.file("mtd"), p.dir.path()}), 2,
             {"fwupdate_1:1: error: range 0x400000+0x20000 is outside the 0x400000-byte chip: fwapply "
              "refuses the line",
              "fwupdate_1:2: warning: pattern \"erasesize\" matches the header line of /proc/mtd: the rest "
              "of the line never runs"});
}

TEST(Fwcheck, JsonShape) {
  Package p;
  const std::string dir = p.Script("erase 400000 200\n");
  const ChildResult r = Fwcheck({"--json", dir});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("{\n  \"package\": \"" + dir +
                "\",\n  \"status\": 2,\n  \"errors\": 1,\n  \"warnings\": 0,\n"
                "  \"notes\": 1,\n  \"findings\": [\n"
                "    {\"file\": \"fwupdate_1\", \"line\": 1, \"severity\": \"error\", \"message\": \"erase "
                "length 0x200 is "
                "below one eraseblock: erases from 0x400000 to the end of the chip\"},\n"
                "    {\"file\": \"fwupdate_1\", \"line\": null, \"severity\": \"note\", \"message\": "
                "\"fwapply prints "
                "\\\"Total Block to Write = 0\\\"\"}\n  ],\n  \"scripts\": [\n"
                "    {\"name\": \"fwupdate_1\", \"budget\": 0, \"lines\": [\n"
                "        {\"line\": 1, \"command\": \"erase\", \"start\": 4194304, \"size\": 130023424, "
                "\"partitions\": [], \"blocks\": 992, \"data\": null, \"spare\": null}\n    ]}\n  ]\n}\n",
            r.out);
  // Script text of any bytes stays one valid JSON string.
  p.Script("write 200000 1c0000 a\"\\\x01\xff.img\n");
  EXPECT_NE(std::string::npos,
            Fwcheck({"--json", dir}).out.find("image \\\"a\\\"\\\\\\u0001\\ufffd.img\\\" is not"));
}

TEST(Fwcheck, CommandLine) {
  Package p;
  const std::string dir = p.Script("write 200000 100000 k.img\n"), bad = p.dir.file("bad");
  WriteAll(bad, "mtd0: 08000000\n");
  WriteAll(p.dir.file("headed"), "dev:    size   erasesize  name\n");
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;  // how standard error begins
  } cases[] = {
      {{}, 64, "fwcheck: no package named\n"},
      {{dir, "--frob"}, 64, "fwcheck: unknown option --frob\n"},
      {{dir, dir}, 64, "fwcheck: one package at a time\n"},
      {{"--spare", "100", dir}, 64, "fwcheck: --spare 100 is not a percentage from 0 to below 100\n"},
      {{"--layout", bad, dir}, 64, "fwcheck: layout " + bad + ": line 1 is not \"mtdN: SIZE ERASESIZE"},
      {{dir, "--layout"}, 64, "fwcheck: --layout needs a value\n"},
      {{"--layout", p.dir.file("headed"), dir},
       64,
       "fwcheck: layout " + p.dir.file("headed") + ": no mtd lines\n"},
      {{dir}, 1, ""},
      {{"--spare", "0", dir}, 0, ""},
  };
  for (const auto& c : cases) {
    const ChildResult r = Fwcheck(c.args);
    EXPECT_EQ(c.status, r.status) << r.err;
    EXPECT_EQ(0u, r.err.find(c.err)) << r.err;
  }
  const ChildResult help = Fwcheck({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.out.find("usage: fwcheck [--layout FILE] [--spare PERCENT] [--json] PACKAGE\n"));
}

}  // namespace
