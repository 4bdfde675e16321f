// Finding MTD devices and their geometry, through sysfs and through "/proc/mtd" with
// MEMGETINFO: the records, the choice of mode, and every refusal with its exact message.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <string.h>

#include <functional>
#include <string>

#include "child.h"
#include "heap_check.h"
#include "libmtd.h"
#include "mtd_check.h"
#include "sim_kernel.h"

using mtdtest::Describe;
using mtdtest::ErrLine;
using mtdtest::Failed;
using mtdtest::Fails;
using mtdtest::Result;
using mtdtest::RunOp;

namespace {

const int kEb = 128 * 1024;
const char kHeader[] = "dev:    size   erasesize  name\n";
const std::string kSys = "/sys/class/mtd/", kE = "libmtd: error!: ";

// The mode a handle chose, seen from outside: mtd_get_info tells where the answer came from.
bool SysfsMode(libmtd_t lib) {
  mtd_info info;
  return mtd_get_info(lib, &info) == 0 && info.sysfs_supported;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    k.add_mtd(0, &chip, "all");
    k.add_mtd(2, &chip, "kernel", 2 * kEb, 8 * kEb);
  }
  void TearDown() override { libmtd_close(lib); }
  libmtd_t Open() {
    libmtd_close(lib);
    lib = libmtd_open();
    return lib;
  }
  // mtd_get_dev_info1 on mtd2 with a fresh handle of a kernel whose attribute file has the
  // given contents; in a child when `child`.
  Result DevInfoWith(const std::string& attr, const std::string& contents, bool child = true) {
    sim::Kernel k2;
    k2.add_mtd(2, &chip, "kernel", 2 * kEb, 8 * kEb);
    k2.set_file(kSys + "mtd2/" + attr, contents);
    Open();
    return child ? RunOp([&] { return mtd_get_dev_info1(lib, 2, &mtd); })
                 : Result{mtd_get_dev_info1(lib, 2, &mtd), errno, "", ""};
  }
  // op, which must leave no simulated descriptor open: checked in the child that runs it, as a
  // leak turns the result into 99.
  std::function<int()> NoLeak(const std::function<int()>& op) {
    return [this, op] {
      int ret = op(), err = errno;
      if (k.open_fds() != 0) return 99;
      errno = err;
      return ret;
    };
  }
  Result ModeOfNewHandle() {
    return RunOp([&] { return SysfsMode(Open()) ? 1 : 0; });
  }

  sim::Chip chip;
  sim::Kernel k;
  libmtd_t lib = nullptr;
  mtd_dev_info mtd;
};

TEST_F(Discovery, ChoiceOfMode) {
  // An unreadable "name" of the first device, no mtdN entry at all, or no class directory:
  // legacy mode, silently.
  std::function<void()> steps[] = {
      [] {}, [&] { k.remove_file(kSys + "mtd0/name"); },
      [&] { k.remove_file(kSys + "mtd0"), k.remove_file(kSys + "mtd2"); },  // mtd0ro, mtd2ro left
      [&] { k.no_sysfs(); }};
  int want = 1;
  for (auto& step : steps) {
    step();
    Result r = ModeOfNewHandle();
    EXPECT_EQ(want, r.ret);
    EXPECT_EQ("", r.out + r.errs);
    want = 0;
  }
}

TEST_F(Discovery, ProbeFailuresLeaveSysfsMode) {
  k.fail_open("/sys/class/mtd", EACCES);
  Result r = ModeOfNewHandle();
  EXPECT_EQ(0u, r.errs.find(kE + "cannot open \"/sys/class/mtd\"\n" + ErrLine(EACCES)));
  EXPECT_EQ(0, r.ret);  // the handle is in sysfs mode, but the directory cannot be listed
}

TEST_F(Discovery, SummaryCountsOnlyMtdNEntries) {
  ASSERT_NE(nullptr, Open());
  mtd_info info;
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ("2 in 0..2 sysfs", Describe(info));

  // The node of mtd2 is found by visiting 0, 1 (absent: skipped) and 2.
  k.clear_calls();
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd2", &mtd));
  EXPECT_EQ(2, mtd.mtd_num);
  std::vector<std::string> devs;
  for (const sim::Call& c : k.calls())
    if (c.op == "open" && c.path.size() > 4 && c.path.compare(c.path.size() - 4, 4, "/dev") == 0)
      devs.push_back(c.path);
  EXPECT_EQ(
      (std::vector<std::string>{kSys + "mtd0/dev", kSys + "mtd1/dev", kSys + "mtd2/dev", kSys + "mtd2/dev"}),
      devs);

  // The read-only twin's node matches no device.
  EXPECT_TRUE(Fails(ENODEV, "", [&] { return mtd_get_dev_info(lib, "/dev/mtd2ro", &mtd); }));
  // A class directory that disappears after the open is "no device".
  k.no_sysfs();
  EXPECT_TRUE(Fails(ENODEV, "", [&] { return mtd_get_info(lib, &info); }));
}

TEST_F(Discovery, RecordFromSysfs) {
  sim::Geometry g;
  g.subpage_size = 512;
  g.size = 16ull << 20;
  sim::Chip chip2(g);
  k.add_mtd(5, &chip2, "rootfs");
  ASSERT_NE(nullptr, Open());
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd5", &mtd));
  EXPECT_EQ("mtd5 90:10 4 nand \"rootfs\" 16777216 = 128 x 131072, io 2048 sub 512 oob 64 reg 0 w1 bb1",
            Describe(mtd));
  EXPECT_EQ(1, mtd_dev_present(lib, 5));
  EXPECT_EQ(0, mtd_dev_present(lib, 4));
  EXPECT_TRUE(Fails(ENODEV, "", [&] { return mtd_get_dev_info1(lib, 4, &mtd); }));
}

TEST_F(Discovery, TypesAndFlags) {
  struct Case {
    const char* attr;
    const char* text;
    int type;
    unsigned bb, writable;
  } cases[] = {
      {"type", "nand\n", 4, 1, 1},      {"type", "nor\n", 3, 0, 1},        {"type", "ubi\n", 7, 0, 1},
      {"type", "dataflash\n", 6, 0, 1}, {"type", "nandflash\n", -1, 0, 1}, {"type", "mlc-nand\n", -1, 0, 1},
      {"type", "\n", -1, 0, 1},         {"flags", "0x400\n", 4, 1, 1},     {"flags", "0xc00\n", 4, 1, 1},
      {"flags", "0x800\n", 4, 1, 0},    {"flags", "c00\n", 4, 1, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(0, DevInfoWith(c.attr, c.text, false).ret);
    EXPECT_EQ(c.type, mtd.type);
    EXPECT_EQ(c.bb, mtd.bb_allowed);
    EXPECT_EQ(c.writable, mtd.writable);
  }
}

TEST_F(Discovery, AcceptedAttributeContents) {
  // 49 bytes are read; a name file holds at most 127 bytes with its newline.
  ASSERT_EQ(0, DevInfoWith("dev", "90:4\n" + std::string(44, ' '), false).ret);
  EXPECT_EQ(4, mtd.minor);
  ASSERT_EQ(0, DevInfoWith("erasesize", "65536\n" + std::string(43, ' '), false).ret);
  EXPECT_EQ(16, mtd.eb_cnt);
  ASSERT_EQ(0, DevInfoWith("name", std::string(126, 'n') + "\n", false).ret);
  EXPECT_EQ(std::string(126, 'n'), mtd.name);
  // An empty name file leaves an empty name, not a write before the buffer; the text without
  // its newline loses its last character, as the kernel always adds one.
  ASSERT_EQ(0, DevInfoWith("name", "", false).ret);
  EXPECT_STREQ("", mtd.name);
  EXPECT_STREQ("nand", mtd.type_str);
  ASSERT_EQ(0, DevInfoWith("name", "boot", false).ret);
  EXPECT_STREQ("boo", mtd.name);
  ASSERT_EQ(0, DevInfoWith("erasesize", "2147483647\n", false).ret);
  EXPECT_EQ(0, mtd.eb_cnt);  // larger than the device: no eraseblock is valid
  // Sizes past 4 GiB are 64-bit; eb_cnt is rounded down.
  ASSERT_EQ(0, DevInfoWith("size", "8590065664\n", false).ret);
  EXPECT_EQ(8590065664ll, mtd.size);
  EXPECT_EQ(65537, mtd.eb_cnt);
  ASSERT_EQ(0, DevInfoWith("size", "262143\n", false).ret);
  EXPECT_EQ(1, mtd.eb_cnt);
}

TEST_F(Discovery, RefusedAttributeContents) {
  const std::string f = "\"/sys/class/mtd/mtd2/";
  auto tooLong = [&](const char* attr) { return kE + "contents of " + f + attr + "\" is too long\n"; };
  struct Case {
    const char* attr;
    std::string contents, msg;
  } cases[] = {
      {"dev", "90:4\n" + std::string(45, ' '), tooLong("dev")},
      {"erasesize", "131072\n" + std::string(43, ' '), tooLong("erasesize")},
      {"name", std::string(127, 'n') + "\n", tooLong("name")},
      // Longer files cannot write past the record either.
      {"name", std::string(5000, 'z'), tooLong("name")},
      {"type", std::string(65, 't'), tooLong("type")},
      {"erasesize", "2147483648\n",
       kE + "value 2147483648 read from file " + f + "erasesize\" is out of range\n"},
      {"flags", "0x80000000\n", kE + "value 2147483648 read from file " + f + "flags\" is out of range\n"},
      {"oobsize", "-1\n", kE + "negative value -1 in " + f + "oobsize\"\n"},
      {"flags", "ffffffffffffffff\n", kE + "negative value -1 in " + f + "flags\"\n"},
      {"writesize", "lots\n", kE + "cannot read integer from " + f + "writesize\"\n\n"},
      {"dev", "90-4\n", kE + f + "dev\" does not have major:minor format\n"},
      {"dev", "90:-4\n", kE + "bad major:minor 90:-4 in " + f + "dev\"\n"},
      // Geometry that would divide by zero.
      {"erasesize", "0\n", kE + "mtd2 (/sys/class/mtd/mtd2/erasesize) has insane eraseblock size 0\n"},
      {"subpagesize", "0\n", kE + "mtd2 (/sys/class/mtd/mtd2/subpagesize) has insane min. I/O unit size 0\n"},
  };
  for (const Case& c : cases) EXPECT_TRUE(Failed(DevInfoWith(c.attr, c.contents), EINVAL, c.msg)) << c.attr;

  // While looking for a node, a broken "dev" of another device ends the search.
  k.set_file(kSys + "mtd0/dev", "junk\n");
  Open();
  EXPECT_EQ(EINVAL, RunOp([&] { return mtd_get_dev_info(lib, "/dev/mtd2", &mtd); }).err);
}

TEST_F(Discovery, FileAndDirectoryFailures) {
  struct Case {
    std::function<void(sim::Kernel&)> fault;
    int err;
    std::string msg;
  } cases[] = {
      {[](sim::Kernel& k2) { k2.fail_reads(kSys + "mtd0/oobsize", EIO); }, EIO,
       kE + "cannot read \"/sys/class/mtd/mtd0/oobsize\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_reads(kSys + "mtd0/name", EIO); }, EIO,
       kE + "cannot read \"/sys/class/mtd/mtd0/name\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_close(kSys + "mtd0/type", EBADF); }, EBADF,
       kE + "close failed on \"/sys/class/mtd/mtd0/type\"\n" + ErrLine(EBADF)},
      {[](sim::Kernel& k2) { k2.fail_close(kSys + "mtd0/flags", EBADF); }, EBADF,
       kE + "close failed on \"/sys/class/mtd/mtd0/flags\"\n" + ErrLine(EBADF)},
      // An attribute that does not exist fails silently with ENOENT.
      {[](sim::Kernel& k2) { k2.remove_file(kSys + "mtd0/subpagesize"); }, ENOENT, ""},
      {[](sim::Kernel& k2) { k2.fail_readdir("/sys/class/mtd", EIO); }, EIO,
       kE + "readdir failed on \"/sys/class/mtd\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_closedir("/sys/class/mtd", EBADF); }, EBADF,
       kE + "closedir failed on \"/sys/class/mtd\"\n" + ErrLine(EBADF)},
  };
  for (const Case& c : cases) {
    sim::Kernel k2;
    k2.add_mtd(0, &chip, "all");
    libmtd_t l2 = libmtd_open();
    c.fault(k2);
    EXPECT_TRUE(Fails(c.err, c.msg, [&] { return mtd_get_dev_info(l2, "/dev/mtd0", &mtd); }));
    libmtd_close(l2);
  }
}

TEST_F(Discovery, OverlongEntryName) {
  std::string longname = "mtd9" + std::string(251, 'x');  // 255 characters
  k.set_file(kSys + longname + "/name", "x\n");
  ASSERT_NE(nullptr, Open());
  mtd_info info;
  EXPECT_TRUE(Fails(EINVAL, kE + "invalid entry in /sys/class/mtd: \"" + longname + "\"\n",
                    NoLeak([&] { return mtd_get_info(lib, &info); })));
}

TEST_F(Discovery, NodeChecks) {
  ASSERT_NE(nullptr, Open());
  testutil::TempDir dir;
  const std::string plain = dir.file("plain");
  testutil::WriteAll(plain, "x");
  k.add_node("/dev/other", 90, 40);
  const std::string notChar = kE + "\"" + plain + "\" is not a character device\n",
                    missing = kE + "cannot get information about \"/dev/mtd7\"\n" + ErrLine(ENOENT);
  EXPECT_TRUE(Fails(EINVAL, notChar, [&] { return mtd_get_dev_info(lib, plain.c_str(), &mtd); }));
  EXPECT_TRUE(Fails(ENOENT, missing, [&] { return mtd_get_dev_info(lib, "/dev/mtd7", &mtd); }));
  EXPECT_TRUE(Fails(ENODEV, "", [&] { return mtd_get_dev_info(lib, "/dev/other", &mtd); }));

  // The probe: 1 for an MTD node, -1 with errno 0 for another character device.
  EXPECT_EQ(1, mtd_probe_node(lib, "/dev/mtd2"));
  errno = EBUSY;
  EXPECT_EQ(-1, mtd_probe_node(lib, "/dev/other"));
  EXPECT_EQ(0, errno);
  EXPECT_TRUE(Fails(EINVAL, notChar, [&] { return mtd_probe_node(lib, plain.c_str()); }));
  EXPECT_TRUE(Fails(ENOENT, missing, [&] { return mtd_probe_node(lib, "/dev/mtd7"); }));
}

// ---------------------------------------------------------------------------------------------
// Legacy mode

class Legacy : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    k.no_sysfs();
    ASSERT_NE(nullptr, Open());
    ASSERT_FALSE(SysfsMode(lib));
  }
  ::testing::AssertionResult InfoFails(const char* node, int err, const std::string& msg) {
    return Fails(err, msg, NoLeak([&] { return mtd_get_dev_info(lib, node, &mtd); }));
  }
  Result Info(const char* node) {
    return RunOp(NoLeak([&] { return mtd_get_dev_info(lib, node, &mtd); }));
  }
};

TEST_F(Legacy, RecordFromProcMtdAndMemgetinfo) {
  mtd_info info;
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ("2 in 0..2 legacy", Describe(info));

  sim::Geometry g;
  g.subpage_size = 512;
  sim::Chip chip2(g);
  k.add_mtd(3, &chip2, "rootfs", 0, 0, "nor");
  k.no_sysfs();
  // MEMGETINFO knows no subpages; bad blocks are allowed where the probe answered, whatever
  // the type.
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd3", &mtd));
  EXPECT_EQ("mtd3 90:6 3 nor \"rootfs\" 8388608 = 64 x 131072, io 2048 sub 2048 oob 64 reg 0 w1 bb1",
            Describe(mtd));
  EXPECT_EQ(0u, k.open_fds());
  // The read-only twin (minor 7) is the same device.
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd3ro", &mtd));
  EXPECT_EQ("mtd3 90:7 3 nor \"rootfs\" 8388608 = 64 x 131072, io 2048 sub 2048 oob 64 reg 0 w1 bb1",
            Describe(mtd));

  ASSERT_EQ(0, mtd_get_dev_info1(lib, 2, &mtd));
  EXPECT_STREQ("kernel", mtd.name);
  EXPECT_EQ(8, mtd.eb_cnt);
  EXPECT_EQ(1, mtd_dev_present(lib, 2));
  EXPECT_EQ(0, mtd_dev_present(lib, 1));
  EXPECT_EQ(0, mtd_probe_node(lib, "/dev/mtd2"));
}

TEST_F(Legacy, NodeChecks) {
  k.add_node("/dev/blk", 31, 4, 0);
  EXPECT_TRUE(
      InfoFails("/dev/blk", EINVAL, kE + "\"/dev/blk\" has major number 31, MTD devices have major 90\n"));
  Result r = Info("/dev/mtd9");
  EXPECT_TRUE(Failed(r, ENOENT, kE + "cannot open \"/dev/mtd9\"\n" + ErrLine(ENOENT)));
  EXPECT_EQ(
      "libmtd: MTD subsystem is old and does not support sysfs, so MTD character device nodes "
      "have to exist\n",
      r.out);
  EXPECT_TRUE(InfoFails("/proc/mtd", EINVAL, kE + "\"/proc/mtd\" is not a character device\n"));
  k.fail_open("/dev/mtd2", EACCES);
  r = Info("/dev/mtd2");
  EXPECT_TRUE(Failed(r, EACCES, kE + "cannot open \"/dev/mtd2\"\n" + ErrLine(EACCES)));
  EXPECT_EQ("", r.out);
  // A node of a device that /proc/mtd does not list.
  k.add_node("/dev/mtd5", 90, 10, 0);
  EXPECT_TRUE(InfoFails("/dev/mtd5", ENOENT, kE + "mtd5 not found in \"/proc/mtd\"\n"));
}

TEST_F(Legacy, BadBlockProbe) {
  chip.bb_supported = false;
  errno = EBUSY;
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
  EXPECT_EQ(0u, mtd.bb_allowed);
  EXPECT_EQ(0, errno);
  chip.bb_supported = true;
  chip.mark_bad(0);
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
  EXPECT_EQ(1u, mtd.bb_allowed);

  k.fail_ioctl(MEMGETBADBLOCK, EIO, 1);
  EXPECT_TRUE(InfoFails("/dev/mtd0", EIO, kE + "MEMGETBADBLOCK ioctl failed\n" + ErrLine(EIO)));
  k.fail_ioctl(MEMGETINFO, EIO, 1);
  EXPECT_TRUE(InfoFails("/dev/mtd0", EIO, kE + "MEMGETINFO ioctl request failed\n" + ErrLine(EIO)));
  EXPECT_EQ(0u, k.open_fds());
}

TEST_F(Legacy, InsaneGeometryAndTypes) {
  k.fake_memgetinfo = true;
  auto answer = [&](uint8_t type, uint32_t size, uint32_t eb, uint32_t ws) {
    mtd_info_user& a = k.memgetinfo_answer;
    memset(&a, 0, sizeof a);
    a.type = type;
    a.size = size;
    a.erasesize = eb;
    a.writesize = ws;
    a.oobsize = 64;
    a.flags = MTD_WRITEABLE;
  };
  struct Case {
    uint8_t type;
    uint32_t size, eb, ws;
    const char* msg;
  } cases[] = {
      {MTD_NANDFLASH, 1 << 20, kEb, 0, "has insane min. I/O unit size 0\n"},
      {MTD_NANDFLASH, 1 << 20, 0, 2048, "has insane eraseblock size 0\n"},
      {MTD_NANDFLASH, 1 << 20, 1024, 2048, "has insane eraseblock size 1024\n"},
      {MTD_NANDFLASH, 0, kEb, 2048, "has insane size 0\n"},
      {MTD_NANDFLASH, 4096, kEb, 2048, "has insane size 4096\n"},
      // A count of eraseblocks that an int cannot hold.
      {MTD_RAM, 0xFFFFFFFFu, 1, 1, "has insane size 4294967295\n"},
      {MTD_ABSENT, 1 << 20, kEb, 2048, "is removable and is not present\n"},
  };
  for (const Case& c : cases) {
    answer(c.type, c.size, c.eb, c.ws);
    EXPECT_TRUE(InfoFails("/dev/mtd2", EINVAL, kE + "mtd2 (/dev/mtd2) " + c.msg));
  }
  for (uint8_t t : {5, 8, 255}) {
    answer(t, 1 << 20, kEb, 2048);
    Result r = Info("/dev/mtd2");
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ("", r.errs);
  }
  answer(MTD_DATAFLASH, 0xFFFFFFFFu, kEb, 2048);
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd2", &mtd));
  EXPECT_STREQ("dataflash", mtd.type_str);
  EXPECT_EQ(0xFFFFFFFFll, mtd.size);  // zero-extended
  EXPECT_EQ(32767, mtd.eb_cnt);
  EXPECT_EQ(0u, k.open_fds());
}

TEST_F(Legacy, ProcMtdFormat) {
  const std::string noHeader =
      kE + "\"/proc/mtd\" does not start with \"dev:    size   erasesize  name\n\"\n";
  struct Case {
    std::string table, msg;
  } cases[] = {
      {std::string(kHeader, 30), noHeader},
      {"dev:   size   erasesize  name\nmtd0: 00800000 00020000 \"all\"\n", noHeader},
      {kHeader + std::string("mtd0 00800000 00020000 \"all\"\n"),
       kE + "\"mtd%d: %llx %x\" pattern not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 all\n"), kE + "opening \" not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 \""), kE + "opening \" not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 \"all\n"), kE + "closing \" not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 \"all\" \n"), kE + "opening \"\n\" not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 \"all\""), kE + "opening \"\n\" not found\n"},
      {kHeader + std::string("mtd0: 00800000 00020000 \"") + std::string(128, 'a') + "\"\n",
       kE + "too long mtd0 device name\n"},
  };
  mtd_info info;
  // The scan's buffer is freed on every refusal, not only at the end of a good table.
  auto no_heap_left = [&] {
    return !testutil::LeavesHeap([&] {
      mtd_get_info(lib, &info);
      mtd_dev_present(lib, 0);
      k.clear_calls();
    });
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    k.set_file("/proc/mtd", c.table);
    EXPECT_TRUE(Failed(RunOp(NoLeak([&] { return mtd_get_info(lib, &info); })), mtdtest::kAnyErrno, c.msg));
    EXPECT_EQ(-1, RunOp([&] { return mtd_dev_present(lib, 0); }).ret);
    EXPECT_TRUE(no_heap_left());
  }

  std::string name127(127, 'a');
  k.set_file("/proc/mtd", std::string(kHeader) + "mtd0: 00800000 00020000 \"" + name127 + "\"\n");
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
  EXPECT_EQ(name127, mtd.name);
  // A table without devices.
  k.set_file("/proc/mtd", kHeader);
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ("0 in " + std::to_string(INT_MAX) + "..0 legacy", Describe(info));

  EXPECT_TRUE(no_heap_left());
  k.fail_reads("/proc/mtd", EIO);
  EXPECT_TRUE(Fails(EIO, kE + "cannot read \"/proc/mtd\"\n" + ErrLine(EIO),
                    NoLeak([&] { return mtd_get_info(lib, &info); })));
  EXPECT_TRUE(no_heap_left());
}

std::string ProcLine(int num, const std::string& name) {
  char buf[64];
  snprintf(buf, sizeof buf, "mtd%d: 00020000 00020000 \"", num);
  return buf + name + "\"\n";
}

// A table of `total` bytes whose last device is *last.
std::string ProcTable(size_t total, int* last) {
  std::string t = kHeader;
  int n = 10;
  while (total - t.size() > 100) t += ProcLine(n++, "x");
  t += ProcLine(n, std::string(total - t.size() - ProcLine(n, "").size(), 'y'));
  *last = n;
  return t;
}

TEST_F(Legacy, OnlyTheFirst4096BytesAreRead) {
  int last;
  std::string t = ProcTable(4095, &last);
  ASSERT_EQ(4095u, t.size());
  k.set_file("/proc/mtd", t + ProcLine(9, "late"));
  mtd_info info;
  // The line cut after its "m" is malformed.
  EXPECT_TRUE(Failed(RunOp([&] { return mtd_get_info(lib, &info); }), mtdtest::kAnyErrno,
                     kE + "\"mtd%d: %llx %x\" pattern not found\n"));
  EXPECT_EQ(1, mtd_dev_present(lib, last));
  EXPECT_EQ(-1, RunOp([&] { return mtd_dev_present(lib, 9); }).ret);

  // A table of exactly 4096 bytes is whole; past 4096 the device is not seen at all.
  t = ProcTable(4096, &last);
  ASSERT_EQ(4096u, t.size());
  k.set_file("/proc/mtd", t);
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ(std::to_string(last - 9) + " in 10.." + std::to_string(last) + " legacy", Describe(info));
  k.set_file("/proc/mtd", t + ProcLine(9, "late"));
  EXPECT_EQ(0, mtd_dev_present(lib, 9));
}

TEST_F(Legacy, ProcMtdPresence) {
  EXPECT_EQ(0, legacy_libmtd_open());
  k.fail_open("/proc/mtd", EACCES);
  errno = 0;
  EXPECT_EQ(-1, legacy_libmtd_open());
  EXPECT_EQ(EACCES, errno);
  mtd_info info;
  EXPECT_TRUE(Fails(EACCES, "", [&] { return mtd_get_info(lib, &info); }));
  EXPECT_EQ(-1, mtd_dev_present(lib, 0));
  sim::Kernel k2;
  k2.no_proc_mtd();
  errno = EBUSY;
  EXPECT_EQ(-1, legacy_libmtd_open());
  EXPECT_EQ(0, errno);
}

}  // namespace
