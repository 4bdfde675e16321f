// Finding MTD devices and their geometry, through sysfs and through "/proc/mtd" with MEMGETINFO.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <functional>
#include <string>

#include "board.h"
#include "heap_check.h"
#include "libmtd.h"
#include "sim_kernel.h"

using testboard::Failure;
using testboard::Outcome;

namespace {

const int kEb = 128 * 1024;
const char kHeader[] = "dev:    size   erasesize  name\n";
const std::string kSys = "/sys/class/mtd/", kE = "libmtd: error!: ";
std::string ErrLine(int err) { return testboard::ErrLine("libmtd", err); }

// Every field of a record on one line, so that a whole record is compared at once.
std::string Describe(const mtd_dev_info& d) {
  char b[512];
  snprintf(b, sizeof b, "mtd%d %d:%d %d %s w%u bb%u \"%s\" %lld = %d x %d, io %d sub %d oob %d reg %d",
           d.mtd_num, d.major, d.minor, d.type, d.type_str, d.writable, d.bb_allowed, d.name, d.size,
           d.eb_cnt, d.eb_size, d.min_io_size, d.subpage_size, d.oob_size, d.region_cnt);
  return b;
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
    return lib = libmtd_open();
  }
  // mtd2 with an attribute file of these contents: the record's start, or the refusal.
  std::string DevInfoWith(const std::string& attr, const std::string& contents, size_t n) {
    sim::Kernel k2;
    k2.add_mtd(2, &chip, "kernel", 2 * kEb, 8 * kEb);
    k2.set_file(kSys + "mtd2/" + attr, contents);
    Open();
    if (mtd_get_dev_info1(lib, 2, &mtd) == 0) return Describe(mtd).substr(10, n);  // after ""
    return Outcome([&] { return mtd_get_dev_info1(lib, 2, &mtd); });
  }
  // op, which must leave no simulated descriptor open: a leak turns its result into 99.
  std::function<int()> NoLeak(const std::function<int()>& op) {
    return [this, op] {
      const int ret = op(), err = errno;
      const bool leak = k.open_fds() != 0;
      errno = err;
      return leak ? 99 : ret;
    };
  }
  std::string Info(const char* node) {
    return Outcome(NoLeak([&] { return mtd_get_dev_info(lib, node, &mtd); }));
  }

  sim::Chip chip;
  sim::Kernel k;
  libmtd_t lib = nullptr;
  mtd_dev_info mtd;
  mtd_info info;
};

TEST_F(Discovery, SysfsRecordsAndChoiceOfMode) {
  ASSERT_TRUE(Open() && mtd_get_info(lib, &info) == 0);
  EXPECT_TRUE(info.mtd_dev_cnt == 2 && info.lowest_mtd_num == 0 && info.highest_mtd_num == 2 &&
              info.sysfs_supported);
  EXPECT_EQ(Failure(ENODEV, ""), Info("/dev/mtd2ro"));  // the read-only twin is no device
  sim::Chip chip2(sim::Geometry{2048, 64, kEb, 512, 16ull << 20});
  k.add_mtd(5, &chip2, "rootfs");
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd5", &mtd));
  EXPECT_EQ("mtd5 90:10 4 nand w1 bb1 \"rootfs\" 16777216 = 128 x 131072, io 2048 sub 512 oob 64 reg 0",
            Describe(mtd));
  EXPECT_TRUE(mtd_dev_present(lib, 5) == 1 && mtd_dev_present(lib, 4) == 0);
  EXPECT_EQ(Failure(ENOENT, kE + "cannot get information about \"/dev/mtd7\"\n" + ErrLine(ENOENT)),
            Info("/dev/mtd7"));
  EXPECT_EQ(Failure(EINVAL, kE + "\"/proc/mtd\" is not a character device\n"), Info("/proc/mtd"));
  // No "name" of the first device: legacy mode, silently.
  k.remove_file(kSys + "mtd0/name");
  EXPECT_EQ("ret 0\nout: \nerr: ",
            Outcome([&] { return mtd_get_info(Open(), &info) || info.sysfs_supported; }));
}

// 49 bytes are read, a name holds 127 with its newline; an empty one must not write before it.
TEST_F(Discovery, AttributeContents) {
  const std::string f = "\"/sys/class/mtd/mtd2/", d = "4 nand w1 bb1 \"";
  auto tooLong = [&](const char* attr) { return kE + "contents of " + f + attr + "\" is too long\n"; };
  auto range = [&](const char* v, const char* attr) {
    return kE + "value " + v + " read from file " + f + attr + "\" is out of range\n";
  };
  const struct {
    const char* attr;
    std::string text, want;  // the record's start, or the refusal
  } cases[] = {
      {"name", std::string(126, 'n') + "\n", d + std::string(126, 'n') + "\" 1048576 = 8 x"},
      {"name", "", d + "\" 1048576 = 8 x"},
      {"size", "8590065664\n", d + "kernel\" 8590065664 = 65537 x"},
      {"name", std::string(127, 'n') + "\n", tooLong("name")},
      {"erasesize", "2147483648\n", range("2147483648", "erasesize")},
      {"erasesize", "0\n", kE + "mtd2 (/sys/class/mtd/mtd2/erasesize) has insane eraseblock size 0\n"},
  };
  for (const auto& c : cases) {
    const bool ok = c.want.compare(0, kE.size(), kE) != 0;
    EXPECT_EQ(ok ? c.want : Failure(EINVAL, c.want), DevInfoWith(c.attr, c.text, c.want.size())) << c.text;
  }
}

TEST_F(Discovery, FileAndDirectoryFailures) {
  auto with = [&](const std::function<void(sim::Kernel&)>& fault) {
    sim::Kernel k2;
    k2.add_mtd(0, &chip, "all");
    fault(k2);
    Open();
    return Outcome([&] { return mtd_get_dev_info(lib, "/dev/mtd0", &mtd); });
  };
  EXPECT_EQ(Failure(EIO, kE + "cannot read \"/sys/class/mtd/mtd0/name\"\n" + ErrLine(EIO)),
            with([](sim::Kernel& k2) { k2.fail_reads(kSys + "mtd0/name", EIO); }));
  EXPECT_EQ(Failure(EBADF, kE + "closedir failed on \"/sys/class/mtd\"\n" + ErrLine(EBADF)),
            with([](sim::Kernel& k2) { k2.fail_closedir("/sys/class/mtd", EBADF); }));
  // An attribute that does not exist fails silently.
  EXPECT_EQ(Failure(ENOENT, ""), with([](sim::Kernel& k2) { k2.remove_file(kSys + "mtd0/subpagesize"); }));
}

class Legacy : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    k.no_sysfs();
    ASSERT_NE(nullptr, Open());
  }
};

TEST_F(Legacy, RecordFromProcMtdAndMemgetinfo) {
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_TRUE(info.mtd_dev_cnt == 2 && info.highest_mtd_num == 2 && !info.sysfs_supported);
  sim::Chip chip2(sim::Geometry{2048, 64, kEb, 512});
  k.add_mtd(3, &chip2, "rootfs", 0, 0, "nor");
  k.no_sysfs();
  // No subpages; bad blocks where the probe answered, whatever the type; mtd3ro is the same.
  for (const char* node : {"/dev/mtd3", "/dev/mtd3ro"}) {
    ASSERT_EQ(0, mtd_get_dev_info(lib, node, &mtd));
    EXPECT_EQ(std::string("mtd3 90:") + (node[9] ? "7" : "6") +
                  " 3 nor w1 bb1 \"rootfs\" 8388608 = 64 x 131072, io 2048 sub 2048 oob 64 reg 0 fds 0",
              Describe(mtd) + " fds " + std::to_string(k.open_fds()));
  }
}

TEST_F(Legacy, Refusals) {
  k.add_node("/dev/mtd5", 90, 10, 0);  // a device that /proc/mtd does not list
  EXPECT_EQ(Failure(ENOENT, kE + "cannot open \"/dev/mtd9\"\n" + ErrLine(ENOENT),
                    "libmtd: MTD subsystem is old and does not support sysfs, so MTD character device "
                    "nodes have to exist\n"),
            Info("/dev/mtd9"));
  EXPECT_EQ(Failure(EINVAL, kE + "\"/proc/mtd\" is not a character device\n"), Info("/proc/mtd"));
  EXPECT_EQ(Failure(ENOENT, kE + "mtd5 not found in \"/proc/mtd\"\n"), Info("/dev/mtd5"));
  k.fake_memgetinfo = true;
  auto answer = [&](uint8_t type, uint32_t ws) {
    k.memgetinfo_answer = mtd_info_user{type, MTD_WRITEABLE, 1 << 20, kEb, ws, 64, 0};
    return Info("/dev/mtd2");
  };
  const std::string m2 = kE + "mtd2 (/dev/mtd2) ";
  EXPECT_EQ(Failure(EINVAL, m2 + "has insane min. I/O unit size 0\n"), answer(MTD_NANDFLASH, 0));
  EXPECT_EQ(Failure(EINVAL, ""), answer(5, 2048));  // a type without a name: refused silently
  k.fake_memgetinfo = false;
  k.fail_ioctl(MEMGETINFO, EIO, 1);
  EXPECT_EQ(Failure(EIO, kE + "MEMGETINFO ioctl request failed\n" + ErrLine(EIO)), Info("/dev/mtd0"));
}

TEST_F(Legacy, ProcMtdFormat) {
  const std::string line = std::string(kHeader) + "mtd0: 00800000 00020000 \"";
  const struct {
    std::string table, msg;
  } cases[] = {
      {std::string(kHeader, 30), "\"/proc/mtd\" does not start with \"dev:    size   erasesize  name\n\"\n"},
      {line + std::string(128, 'a') + "\"\n", "too long mtd0 device name\n"},
      {line + "all\" \n", "opening \"\n\" not found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.table);
    k.set_file("/proc/mtd", c.table);
    const std::string o = Outcome(NoLeak([&] { return mtd_get_info(lib, &info); }));
    EXPECT_EQ("\nout: \nerr: " + kE + c.msg, o.substr(o.find('\n')));
    EXPECT_EQ(0u, o.find("errno "));
  }
  // The scan's buffer is freed on a refusal (the last row's), not only at the end of a good table.
  EXPECT_FALSE(
      testutil::LeavesHeap([&] { mtd_get_info(lib, &info), mtd_dev_present(lib, 0), k.clear_calls(); }));
  k.set_file("/proc/mtd", line + std::string(127, 'a') + "\"\n");
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
  EXPECT_EQ(std::string(127, 'a'), mtd.name);
  k.fail_reads("/proc/mtd", EIO);
  EXPECT_EQ(Failure(EIO, kE + "cannot read \"/proc/mtd\"\n" + ErrLine(EIO)),
            Outcome(NoLeak([&] { return mtd_get_info(lib, &info); })));
}

}  // namespace
