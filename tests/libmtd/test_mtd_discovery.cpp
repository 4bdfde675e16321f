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
#include "libmtd.h"
#include "sim_kernel.h"

namespace {

const int kEb = 128 * 1024;
const char kHeader[] = "dev:    size   erasesize  name\n";
const std::string kSys = "/sys/class/mtd/";

std::string ErrLine(int err) { return "        error " + std::to_string(err) + " (" + strerror(err) + ")\n"; }

struct Result {
  int ret;
  int err;
  std::string out, errs;
};

// Runs fn in a child so that its messages can be compared; errno travels in the exit status.
Result RunOp(const std::function<int()>& fn) {
  testutil::ChildResult c = testutil::RunChild([&] {
    int ret = fn();
    int err = errno;
    return ret == -1 ? 128 + err : ret;
  });
  Result r;
  r.ret = c.status >= 128 ? -1 : c.status;
  r.err = c.status >= 128 ? c.status - 128 : 0;
  r.out = c.out;
  r.errs = c.err;
  return r;
}

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
  // mtd_get_dev_info1 on mtd2 in a child, after the attribute file got the given contents.
  // The file gets its old contents back afterwards.
  Result DevInfoWith(const std::string& attr, const std::string& contents) {
    const std::string path = kSys + "mtd2/" + attr;
    std::string old;
    int fd = k_open(path.c_str(), O_RDONLY);
    char buf[256];
    ssize_t n;
    while (fd >= 0 && (n = k_read(fd, buf, sizeof buf)) > 0) old.append(buf, size_t(n));
    if (fd >= 0) k_close(fd);
    k.set_file(path, contents);
    Open();
    Result r = RunOp([&] { return mtd_get_dev_info1(lib, 2, &mtd); });
    k.set_file(path, old);
    return r;
  }

  sim::Chip chip;
  sim::Kernel k;
  libmtd_t lib = nullptr;
  mtd_dev_info mtd;
};

TEST_F(Discovery, ChoiceOfMode) {
  Result r = RunOp([&] { return SysfsMode(Open()) ? 1 : 0; });
  EXPECT_EQ(1, r.ret);
  EXPECT_EQ("", r.out + r.errs);

  // An unreadable "name" of the first device, no mtdN entry at all, or no class directory:
  // legacy mode, silently.
  k.remove_file(kSys + "mtd0/name");
  r = RunOp([&] { return SysfsMode(Open()) ? 1 : 0; });
  EXPECT_EQ(0, r.ret);
  EXPECT_EQ("", r.out + r.errs);

  k.remove_file(kSys + "mtd0");
  k.remove_file(kSys + "mtd2");
  r = RunOp([&] { return SysfsMode(Open()) ? 1 : 0; });
  EXPECT_EQ(0, r.ret);  // only mtd0ro and mtd2ro are left
  EXPECT_EQ("", r.out + r.errs);

  k.no_sysfs();
  r = RunOp([&] {
    libmtd_t l = libmtd_open();
    int ret = SysfsMode(l) ? 1 : 0;
    libmtd_close(l);
    return ret;
  });
  EXPECT_EQ(0, r.ret);
  EXPECT_EQ("", r.out + r.errs);
}

TEST_F(Discovery, ProbeFailuresLeaveSysfsMode) {
  k.fail_open("/sys/class/mtd", EACCES);
  Result r = RunOp([&] { return SysfsMode(Open()) ? 1 : 0; });
  EXPECT_EQ(0u, r.errs.find("libmtd: error!: cannot open \"/sys/class/mtd\"\n" + ErrLine(EACCES)));
  EXPECT_EQ(0, r.ret);  // the handle is in sysfs mode, but the directory cannot be listed
}

TEST_F(Discovery, SummaryCountsOnlyMtdNEntries) {
  ASSERT_NE(nullptr, Open());
  mtd_info info;
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ(2, info.mtd_dev_cnt);
  EXPECT_EQ(0, info.lowest_mtd_num);
  EXPECT_EQ(2, info.highest_mtd_num);
  EXPECT_EQ(1u, info.sysfs_supported);

  // The node of mtd2 is found by visiting 0, 1 (absent: skipped) and 2.
  k.clear_calls();
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd2", &mtd));
  EXPECT_EQ(2, mtd.mtd_num);
  std::vector<std::string> devs;
  for (const sim::Call& c : k.calls())
    if (c.op == "open" && c.path.size() > 4 && c.path.compare(c.path.size() - 4, 4, "/dev") == 0)
      devs.push_back(c.path);
  EXPECT_EQ((std::vector<std::string>{kSys + "mtd0/dev", kSys + "mtd1/dev", kSys + "mtd2/dev",
                                      kSys + "mtd2/dev"}),
            devs);

  // The read-only twin's node matches no device.
  Result r = RunOp([&] { return mtd_get_dev_info(lib, "/dev/mtd2ro", &mtd); });
  EXPECT_EQ(ENODEV, r.err);
  EXPECT_EQ("", r.errs);

  // A class directory that disappears after the open is "no device".
  k.no_sysfs();
  r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(ENODEV, r.err);
  EXPECT_EQ("", r.errs);
}

TEST_F(Discovery, RecordFromSysfs) {
  sim::Geometry g;
  g.subpage_size = 512;
  g.size = 16ull << 20;
  sim::Chip chip2(g);
  k.add_mtd(5, &chip2, "rootfs");
  ASSERT_NE(nullptr, Open());
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd5", &mtd));
  EXPECT_EQ(5, mtd.mtd_num);
  EXPECT_EQ(90, mtd.major);
  EXPECT_EQ(10, mtd.minor);
  EXPECT_EQ(MTD_NANDFLASH, mtd.type);
  EXPECT_STREQ("nand", mtd.type_str);
  EXPECT_STREQ("rootfs", mtd.name);
  EXPECT_EQ(16ll << 20, mtd.size);
  EXPECT_EQ(128, mtd.eb_cnt);
  EXPECT_EQ(kEb, mtd.eb_size);
  EXPECT_EQ(2048, mtd.min_io_size);
  EXPECT_EQ(512, mtd.subpage_size);
  EXPECT_EQ(64, mtd.oob_size);
  EXPECT_EQ(0, mtd.region_cnt);
  EXPECT_EQ(1u, mtd.writable);
  EXPECT_EQ(1u, mtd.bb_allowed);

  EXPECT_EQ(1, mtd_dev_present(lib, 5));
  EXPECT_EQ(0, mtd_dev_present(lib, 4));
  Result r = RunOp([&] { return mtd_get_dev_info1(lib, 4, &mtd); });
  EXPECT_EQ(ENODEV, r.err);
  EXPECT_EQ("", r.errs);
}

TEST_F(Discovery, TypesAndFlags) {
  struct Case {
    const char* text;
    int type;
    unsigned bb;
  } cases[] = {{"nand\n", 4, 1}, {"nor\n", 3, 0}, {"ubi\n", 7, 0}, {"dataflash\n", 6, 0},
               {"nandflash\n", -1, 0}, {"mlc-nand\n", -1, 0}, {"\n", -1, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    k.set_file(kSys + "mtd2/type", c.text);
    ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
    EXPECT_EQ(c.type, mtd.type);
    EXPECT_EQ(c.bb, mtd.bb_allowed);
  }
  for (auto f : {std::make_pair("0x400\n", 1u), std::make_pair("0xc00\n", 1u),
                 std::make_pair("0x800\n", 0u), std::make_pair("c00\n", 1u)}) {
    SCOPED_TRACE(f.first);
    k.set_file(kSys + "mtd2/flags", f.first);
    ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
    EXPECT_EQ(f.second, mtd.writable);
  }
}

TEST_F(Discovery, AttributeLengths) {
  // 49 bytes are read, 50 are too many for a number or "dev" file.
  std::string dev49 = "90:4\n" + std::string(44, ' ');
  Result r = DevInfoWith("dev", dev49);
  EXPECT_EQ(0, r.ret) << r.errs;
  r = DevInfoWith("dev", dev49 + " ");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: contents of \"/sys/class/mtd/mtd2/dev\" is too long\n", r.errs);

  std::string num49 = "131072\n" + std::string(42, ' ');
  r = DevInfoWith("erasesize", num49);
  EXPECT_EQ(0, r.ret) << r.errs;
  r = DevInfoWith("erasesize", num49 + " ");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: contents of \"/sys/class/mtd/mtd2/erasesize\" is too long\n", r.errs);

  // A name file holds at most 127 bytes with its newline, so 126 characters.
  std::string name126(126, 'n');
  k.set_file(kSys + "mtd2/name", name126 + "\n");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_EQ(name126, mtd.name);
  r = DevInfoWith("name", name126 + "x\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: contents of \"/sys/class/mtd/mtd2/name\" is too long\n", r.errs);
  // Longer files cannot write past the record either.
  r = DevInfoWith("name", std::string(5000, 'z'));
  EXPECT_EQ(EINVAL, r.err);
  r = DevInfoWith("type", std::string(65, 't'));
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: contents of \"/sys/class/mtd/mtd2/type\" is too long\n", r.errs);

  // An empty name file leaves an empty name, not a write before the buffer.
  k.set_file(kSys + "mtd2/name", "");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_STREQ("", mtd.name);
  EXPECT_STREQ("nand", mtd.type_str);
  // The text without its newline loses its last character, as the kernel always adds one.
  k.set_file(kSys + "mtd2/name", "boot");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_STREQ("boo", mtd.name);
}

TEST_F(Discovery, NumberContents) {
  Result r = DevInfoWith("erasesize", "2147483648\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: value 2147483648 read from file \"/sys/class/mtd/mtd2/erasesize\" is out of "
            "range\n",
            r.errs);
  k.set_file(kSys + "mtd2/erasesize", "2147483647\n");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_EQ(0, mtd.eb_cnt);  // larger than the device: no eraseblock is valid
  k.set_file(kSys + "mtd2/erasesize", "131072\n");

  r = DevInfoWith("oobsize", "-1\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: negative value -1 in \"/sys/class/mtd/mtd2/oobsize\"\n", r.errs);
  r = DevInfoWith("writesize", "lots\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: cannot read integer from \"/sys/class/mtd/mtd2/writesize\"\n\n", r.errs);
  r = DevInfoWith("flags", "0x80000000\n");
  EXPECT_EQ("libmtd: error!: value 2147483648 read from file \"/sys/class/mtd/mtd2/flags\" is out of "
            "range\n",
            r.errs);
  r = DevInfoWith("flags", "ffffffffffffffff\n");
  EXPECT_EQ("libmtd: error!: negative value -1 in \"/sys/class/mtd/mtd2/flags\"\n", r.errs);

  // Sizes past 4 GiB are 64-bit; eb_cnt is rounded down.
  k.set_file(kSys + "mtd2/size", "8590065664\n");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_EQ(8590065664ll, mtd.size);
  EXPECT_EQ(65537, mtd.eb_cnt);
  k.set_file(kSys + "mtd2/size", "262143\n");
  ASSERT_EQ(0, mtd_get_dev_info1(Open(), 2, &mtd));
  EXPECT_EQ(1, mtd.eb_cnt);

  // Geometry that would divide by zero is refused.
  k.set_file(kSys + "mtd2/size", "1048576\n");
  r = DevInfoWith("erasesize", "0\n");
  EXPECT_EQ(-1, r.ret);
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: mtd2 (/sys/class/mtd/mtd2/erasesize) has insane eraseblock size 0\n", r.errs);
  k.set_file(kSys + "mtd2/erasesize", "131072\n");
  r = DevInfoWith("subpagesize", "0\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: mtd2 (/sys/class/mtd/mtd2/subpagesize) has insane min. I/O unit size 0\n",
            r.errs);
}

TEST_F(Discovery, MajorMinorFile) {
  Result r = DevInfoWith("dev", "90-4\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: \"/sys/class/mtd/mtd2/dev\" does not have major:minor format\n", r.errs);
  r = DevInfoWith("dev", "90:-4\n");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: bad major:minor 90:-4 in \"/sys/class/mtd/mtd2/dev\"\n", r.errs);

  // While looking for a node, a broken "dev" of another device ends the search.
  k.set_file(kSys + "mtd0/dev", "junk\n");
  Open();
  r = RunOp([&] { return mtd_get_dev_info(lib, "/dev/mtd2", &mtd); });
  EXPECT_EQ(EINVAL, r.err);
}

TEST_F(Discovery, FileAndDirectoryFailures) {
  struct Case {
    std::function<void(sim::Kernel&)> fault;
    int err;
    std::string msg;
  } cases[] = {
      {[](sim::Kernel& k2) { k2.fail_reads(kSys + "mtd0/oobsize", EIO); }, EIO,
       "libmtd: error!: cannot read \"/sys/class/mtd/mtd0/oobsize\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_reads(kSys + "mtd0/name", EIO); }, EIO,
       "libmtd: error!: cannot read \"/sys/class/mtd/mtd0/name\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_close(kSys + "mtd0/type", EBADF); }, EBADF,
       "libmtd: error!: close failed on \"/sys/class/mtd/mtd0/type\"\n" + ErrLine(EBADF)},
      {[](sim::Kernel& k2) { k2.fail_close(kSys + "mtd0/flags", EBADF); }, EBADF,
       "libmtd: error!: close failed on \"/sys/class/mtd/mtd0/flags\"\n" + ErrLine(EBADF)},
      // An attribute that does not exist fails silently with ENOENT.
      {[](sim::Kernel& k2) { k2.remove_file(kSys + "mtd0/subpagesize"); }, ENOENT, ""},
      {[](sim::Kernel& k2) { k2.fail_readdir("/sys/class/mtd", EIO); }, EIO,
       "libmtd: error!: readdir failed on \"/sys/class/mtd\"\n" + ErrLine(EIO)},
      {[](sim::Kernel& k2) { k2.fail_closedir("/sys/class/mtd", EBADF); }, EBADF,
       "libmtd: error!: closedir failed on \"/sys/class/mtd\"\n" + ErrLine(EBADF)},
  };
  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(i++);
    sim::Kernel k2;
    k2.add_mtd(0, &chip, "all");
    libmtd_t l2 = libmtd_open();
    c.fault(k2);
    Result r = RunOp([&] { return mtd_get_dev_info(l2, "/dev/mtd0", &mtd); });
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(c.msg, r.errs);
    libmtd_close(l2);
  }
}

TEST_F(Discovery, OverlongEntryName) {
  std::string longname = "mtd9" + std::string(251, 'x');  // 255 characters
  k.set_file(kSys + longname + "/name", "x\n");
  ASSERT_NE(nullptr, Open());
  mtd_info info;
  Result r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: invalid entry in /sys/class/mtd: \"" + longname + "\"\n", r.errs);
  EXPECT_EQ(0u, k.open_fds());
}

TEST_F(Discovery, NodeChecks) {
  ASSERT_NE(nullptr, Open());
  testutil::TempDir dir;
  testutil::WriteAll(dir.file("plain"), "x");
  std::string plain = dir.file("plain");
  Result r = RunOp([&] { return mtd_get_dev_info(lib, plain.c_str(), &mtd); });
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: \"" + plain + "\" is not a character device\n", r.errs);
  r = RunOp([&] { return mtd_get_dev_info(lib, "/dev/mtd7", &mtd); });
  EXPECT_EQ(ENOENT, r.err);
  EXPECT_EQ("libmtd: error!: cannot get information about \"/dev/mtd7\"\n" + ErrLine(ENOENT), r.errs);
  k.add_node("/dev/other", 90, 40);
  r = RunOp([&] { return mtd_get_dev_info(lib, "/dev/other", &mtd); });
  EXPECT_EQ(ENODEV, r.err);
  EXPECT_EQ("", r.errs);

  // The probe: 1 for an MTD node, -1 with errno 0 for another character device.
  EXPECT_EQ(1, mtd_probe_node(lib, "/dev/mtd2"));
  errno = EBUSY;
  EXPECT_EQ(-1, mtd_probe_node(lib, "/dev/other"));
  EXPECT_EQ(0, errno);
  r = RunOp([&] { return mtd_probe_node(lib, plain.c_str()); });
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: \"" + plain + "\" is not a character device\n", r.errs);
  r = RunOp([&] { return mtd_probe_node(lib, "/dev/mtd7"); });
  EXPECT_EQ("libmtd: error!: cannot get information about \"/dev/mtd7\"\n" + ErrLine(ENOENT), r.errs);
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
  Result InfoOf(const char* node) {
    return RunOp([&, node] { return mtd_get_dev_info(lib, node, &mtd); });
  }
};

TEST_F(Legacy, RecordFromProcMtdAndMemgetinfo) {
  mtd_info info;
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ(2, info.mtd_dev_cnt);
  EXPECT_EQ(0, info.lowest_mtd_num);
  EXPECT_EQ(2, info.highest_mtd_num);
  EXPECT_EQ(0u, info.sysfs_supported);

  sim::Geometry g;
  g.subpage_size = 512;
  sim::Chip chip2(g);
  k.add_mtd(3, &chip2, "rootfs", 0, 0, "nor");
  k.no_sysfs();
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd3", &mtd));
  EXPECT_EQ(3, mtd.mtd_num);
  EXPECT_EQ(90, mtd.major);
  EXPECT_EQ(6, mtd.minor);
  EXPECT_EQ(MTD_NORFLASH, mtd.type);
  EXPECT_STREQ("nor", mtd.type_str);
  EXPECT_STREQ("rootfs", mtd.name);
  EXPECT_EQ(8ll << 20, mtd.size);
  EXPECT_EQ(64, mtd.eb_cnt);
  EXPECT_EQ(kEb, mtd.eb_size);
  EXPECT_EQ(2048, mtd.min_io_size);
  EXPECT_EQ(2048, mtd.subpage_size);  // MEMGETINFO knows no subpages
  EXPECT_EQ(64, mtd.oob_size);
  EXPECT_EQ(0, mtd.region_cnt);
  EXPECT_EQ(1u, mtd.writable);
  EXPECT_EQ(1u, mtd.bb_allowed);  // the probe answered, whatever the type
  EXPECT_EQ(0u, k.open_fds());

  // The read-only twin (minor 7) is the same device.
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd3ro", &mtd));
  EXPECT_EQ(3, mtd.mtd_num);
  EXPECT_STREQ("rootfs", mtd.name);

  ASSERT_EQ(0, mtd_get_dev_info1(lib, 2, &mtd));
  EXPECT_STREQ("kernel", mtd.name);
  EXPECT_EQ(8, mtd.eb_cnt);
  EXPECT_EQ(1, mtd_dev_present(lib, 2));
  EXPECT_EQ(0, mtd_dev_present(lib, 1));
  EXPECT_EQ(0, mtd_probe_node(lib, "/dev/mtd2"));
}

TEST_F(Legacy, NodeChecks) {
  k.add_node("/dev/blk", 31, 4, 0);
  Result r = InfoOf("/dev/blk");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: \"/dev/blk\" has major number 31, MTD devices have major 90\n", r.errs);

  r = InfoOf("/dev/mtd9");
  EXPECT_EQ(ENOENT, r.err);
  EXPECT_EQ("libmtd: error!: cannot open \"/dev/mtd9\"\n" + ErrLine(ENOENT), r.errs);
  EXPECT_EQ("libmtd: MTD subsystem is old and does not support sysfs, so MTD character device nodes "
            "have to exist\n",
            r.out);
  r = InfoOf("/proc/mtd");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: \"/proc/mtd\" is not a character device\n", r.errs);

  k.fail_open("/dev/mtd2", EACCES);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ(EACCES, r.err);
  EXPECT_EQ("libmtd: error!: cannot open \"/dev/mtd2\"\n" + ErrLine(EACCES), r.errs);
  EXPECT_EQ("", r.out);

  // A node of a device that /proc/mtd does not list.
  k.add_node("/dev/mtd5", 90, 10, 0);
  r = InfoOf("/dev/mtd5");
  EXPECT_EQ(ENOENT, r.err);
  EXPECT_EQ("libmtd: error!: mtd5 not found in \"/proc/mtd\"\n", r.errs);
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
  Result r = InfoOf("/dev/mtd0");
  EXPECT_EQ(EIO, r.err);
  EXPECT_EQ("libmtd: error!: MEMGETBADBLOCK ioctl failed\n" + ErrLine(EIO), r.errs);
  k.fail_ioctl(MEMGETINFO, EIO, 1);
  r = InfoOf("/dev/mtd0");
  EXPECT_EQ(EIO, r.err);
  EXPECT_EQ("libmtd: error!: MEMGETINFO ioctl request failed\n" + ErrLine(EIO), r.errs);
  EXPECT_EQ(0u, k.open_fds());
}

TEST_F(Legacy, InsaneGeometryAndTypes) {
  k.fake_memgetinfo = true;
  mtd_info_user& a = k.memgetinfo_answer;
  auto answer = [&](uint8_t type, uint32_t size, uint32_t eb, uint32_t ws) {
    memset(&a, 0, sizeof a);
    a.type = type;
    a.size = size;
    a.erasesize = eb;
    a.writesize = ws;
    a.oobsize = 64;
    a.flags = MTD_WRITEABLE;
  };
  answer(MTD_NANDFLASH, 1 << 20, kEb, 0);
  Result r = InfoOf("/dev/mtd2");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane min. I/O unit size 0\n", r.errs);
  answer(MTD_NANDFLASH, 1 << 20, 0, 2048);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane eraseblock size 0\n", r.errs);
  answer(MTD_NANDFLASH, 1 << 20, 1024, 2048);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane eraseblock size 1024\n", r.errs);
  answer(MTD_NANDFLASH, 0, kEb, 2048);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane size 0\n", r.errs);
  answer(MTD_NANDFLASH, 4096, kEb, 2048);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane size 4096\n", r.errs);
  // A count of eraseblocks that an int cannot hold.
  answer(MTD_RAM, 0xFFFFFFFFu, 1, 1);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ(EINVAL, r.err);
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) has insane size 4294967295\n", r.errs);

  answer(MTD_ABSENT, 1 << 20, kEb, 2048);
  r = InfoOf("/dev/mtd2");
  EXPECT_EQ(-1, r.ret);
  EXPECT_EQ("libmtd: error!: mtd2 (/dev/mtd2) is removable and is not present\n", r.errs);
  for (uint8_t t : {5, 8, 255}) {
    answer(t, 1 << 20, kEb, 2048);
    r = InfoOf("/dev/mtd2");
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
  std::string body = std::string(kHeader) + "mtd0: 00800000 00020000 \"all\"\n";
  k.set_file("/proc/mtd", std::string(kHeader, 30));
  mtd_info info;
  Result r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(-1, r.ret);
  EXPECT_EQ("libmtd: error!: \"/proc/mtd\" does not start with \"dev:    size   erasesize  name\n\"\n",
            r.errs);
  k.set_file("/proc/mtd", "dev:   size   erasesize  name\nmtd0: 00800000 00020000 \"all\"\n");
  r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ("libmtd: error!: \"/proc/mtd\" does not start with \"dev:    size   erasesize  name\n\"\n",
            r.errs);

  struct Case {
    std::string line, msg;
  } cases[] = {
      {"mtd0 00800000 00020000 \"all\"\n", "libmtd: error!: \"mtd%d: %llx %x\" pattern not found\n"},
      {"mtd0: 00800000 00020000 all\n", "libmtd: error!: opening \" not found\n"},
      {"mtd0: 00800000 00020000 \"", "libmtd: error!: opening \" not found\n"},
      {"mtd0: 00800000 00020000 \"all\n", "libmtd: error!: closing \" not found\n"},
      {"mtd0: 00800000 00020000 \"all\" \n", "libmtd: error!: opening \"\n\" not found\n"},
      {"mtd0: 00800000 00020000 \"all\"", "libmtd: error!: opening \"\n\" not found\n"},
      {"mtd0: 00800000 00020000 \"" + std::string(128, 'a') + "\"\n",
       "libmtd: error!: too long mtd0 device name\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    k.set_file("/proc/mtd", kHeader + c.line);
    r = RunOp([&] { return mtd_get_info(lib, &info); });
    EXPECT_EQ(-1, r.ret);
    EXPECT_EQ(c.msg, r.errs);
    r = RunOp([&] { return mtd_dev_present(lib, 0); });
    EXPECT_EQ(-1, r.ret);
  }

  std::string name127(127, 'a');
  k.set_file("/proc/mtd", std::string(kHeader) + "mtd0: 00800000 00020000 \"" + name127 + "\"\n");
  ASSERT_EQ(0, mtd_get_dev_info(lib, "/dev/mtd0", &mtd));
  EXPECT_EQ(name127, mtd.name);

  // A table without devices.
  k.set_file("/proc/mtd", kHeader);
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ(0, info.mtd_dev_cnt);
  EXPECT_EQ(INT_MAX, info.lowest_mtd_num);
  EXPECT_EQ(0, info.highest_mtd_num);

  k.fail_reads("/proc/mtd", EIO);
  r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(EIO, r.err);
  EXPECT_EQ("libmtd: error!: cannot read \"/proc/mtd\"\n" + ErrLine(EIO), r.errs);
  EXPECT_EQ(0u, k.open_fds());
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
  size_t name_len = total - t.size() - ProcLine(n, "").size();
  t += ProcLine(n, std::string(name_len, 'y'));
  *last = n;
  return t;
}

TEST_F(Legacy, OnlyTheFirst4096BytesAreRead) {
  int last;
  std::string t = ProcTable(4095, &last);
  ASSERT_EQ(4095u, t.size());
  k.set_file("/proc/mtd", t + ProcLine(9, "late"));
  mtd_info info;
  Result r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(-1, r.ret);  // the line cut after its "m" is malformed
  EXPECT_EQ("libmtd: error!: \"mtd%d: %llx %x\" pattern not found\n", r.errs);
  EXPECT_EQ(1, mtd_dev_present(lib, last));
  r = RunOp([&] { return mtd_dev_present(lib, 9); });
  EXPECT_EQ(-1, r.ret);

  // A table of exactly 4096 bytes is whole.
  t = ProcTable(4096, &last);
  ASSERT_EQ(4096u, t.size());
  k.set_file("/proc/mtd", t);
  ASSERT_EQ(0, mtd_get_info(lib, &info));
  EXPECT_EQ(last - 9, info.mtd_dev_cnt);
  EXPECT_EQ(10, info.lowest_mtd_num);
  EXPECT_EQ(last, info.highest_mtd_num);
  // Past 4096 the device is not seen at all.
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
  Result r = RunOp([&] { return mtd_get_info(lib, &info); });
  EXPECT_EQ(EACCES, r.err);
  EXPECT_EQ("", r.errs);
  EXPECT_EQ(-1, mtd_dev_present(lib, 0));
  sim::Kernel k2;
  k2.no_proc_mtd();
  errno = EBUSY;
  EXPECT_EQ(-1, legacy_libmtd_open());
  EXPECT_EQ(0, errno);
}

}  // namespace
