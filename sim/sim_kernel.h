// A simulated kernel (device nodes, MTD ioctls, sysfs, "/proc/mtd") over simulated NAND chips,
// installed behind the kernel boundary, with fault injection and a record of every call.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <sys/ioctl.h>  // before mtd-user.h, which uses _IOR and friends without it

#include <mtd/mtd-user.h>

#include <memory>
#include <string>
#include <vector>

#include "kernel.h"
#include "sim_chip.h"

namespace sim {

// One recorded boundary call.
struct Call {
  std::string op;             // "open", "close", "read", "write", "lseek", "ioctl", "stat", "fstat",
                              // "opendir", "readdir", "closedir", "isatty"
  std::string path;           // for path calls; for fd calls the path the fd was opened with
  unsigned long request = 0;  // ioctl request number
  bool simulated = false;     // false: passed through to the real system
  // Byte address and length of the operation, where it has them: position and length of
  // read/write, the new position of lseek, start and length of erase, OOB, MEMWRITE,
  // bad-block and lock requests (for MEMWRITE the data length; 0 when none).
  uint64_t offset = 0, length = 0;
};

// The simulated kernel. Constructing one installs it behind the boundary; destroying it
// restores the previous kernel. Paths it does not know pass through to the real system
// (so the caller's own temporary files work), but are recorded too.
class Kernel {
 public:
  Kernel();
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  // Registers chip as mtdN: node /dev/mtdN (char 90:2N), sysfs directory
  // /sys/class/mtd/mtdN with all attribute files, mtdNro, and a "/proc/mtd" line.
  // size 0 means the whole chip; offset/size make a partition view of the chip. A size past
  // the chip's end is allowed: addresses then wrap around the chip (like a chip with unwired
  // upper address lines), so 4 GiB boundaries can be reached with a small chip.
  // type "nand" (MTD_NANDFLASH, flags 0x400), "nor", "ram", "rom", "absent", "dataflash",
  // "ubi", "mlc-nand" give the kernel's type code and flags; a decimal text gives that type
  // code with flags 0x400; any other text type code 255.
  void add_mtd(int num, Chip* chip, const std::string& name, uint64_t offset = 0, uint64_t size = 0,
               const std::string& type = "nand");
  // A block-device view (S_IFBLK 31:N, N = the digits ending path) of chip bytes
  // [offset, offset+size). Reads count ECC like mtdblock; a write is a plain byte overwrite
  // (mtdblock's erase and rewrite, without the counters).
  void add_block(const std::string& path, Chip* chip, uint64_t offset, uint64_t size);

  // Virtual files (sysfs attributes, "/proc/mtd", anything): contents override or add;
  // remove_file hides a generated one (stat/open then fail with ENOENT), and everything below
  // it when it names a directory. Virtual files are read-only (open for writing: EACCES).
  // Below /sys/class/mtd, "/proc/mtd" and /dev/mtd* nothing passes through to the host:
  // what is not simulated there does not exist.
  void set_file(const std::string& path, const std::string& contents);
  void remove_file(const std::string& path);
  void fail_reads(const std::string& path, int err);  // read() of this file fails with err
  void fail_close(const std::string& path, int err);
  void no_sysfs();     // /sys/class/mtd does not exist
  void no_proc_mtd();  // "/proc/mtd" does not exist
  // A character node with any device number; mtd_num >= 0 opens that MTD device, -1 makes
  // open fail with ENXIO. (For major/minor checks: e.g. minor 7 names mtd3.)
  void add_node(const std::string& path, int major, int minor, int mtd_num = -1);
  // Further faults on simulated paths and fds. times: how often (-1: always).
  void fail_open(const std::string& path, int err, int times = -1);  // open and opendir
  void fail_readdir(const std::string& path, int err);               // first readdir fails with err
  void fail_closedir(const std::string& path, int err);
  void fail_ioctl(unsigned long request, int err, int times = -1);  // any simulated fd; times 0: no more
  size_t open_fds() const;       // simulated fds and directory streams still open
  std::string proc_mtd() const;  // current "/proc/mtd" text

  // Kernel features (all present by default).
  bool has_memerase64 = true;   // false: MEMERASE64 -> ENOTTY
  bool has_oob64 = true;        // false: MEMREADOOB64/MEMWRITEOOB64 -> ENOTTY
  int oob64_errno = 0;          // non-zero: the 64-bit OOB requests fail with it
  bool has_memwrite = true;     // false: MEMWRITE -> ENOTTY
  int memwrite_errno = ENOTTY;  // errno used when has_memwrite is false (ENOTTY or EOPNOTSUPP)
  bool has_mtdfilemode = true;  // false: MTDFILEMODE -> ENOTTY
  int mtdfilemode_errno = 0;    // non-zero: MTDFILEMODE fails with it
  bool has_eccstats = true;     // false: ECCGETSTATS -> ENOTTY
  // true: MEMGETINFO of every device answers memgetinfo_answer (for nonsense geometries).
  bool fake_memgetinfo = false;
  mtd_info_user memgetinfo_answer = {};
  // MEMGETOOBSEL answer: useecc and up to 8 free regions (offset, length).
  uint32_t oobsel_useecc = 2;
  std::vector<std::pair<uint32_t, uint32_t>> oobsel_free = {{2, 38}};
  bool has_oobsel = true;
  // Erase regions of every device (NAND has none): "numeraseregions", MEMGETREGIONCOUNT and
  // MEMGETREGIONINFO (by regionindex; EINVAL past the last) answer from this list.
  std::vector<region_info_user> erase_regions;

  // Descriptors of simulated files are real, unique numbers (>= 3, duplicates of /dev/null
  // held until close), so they never collide with the descriptors of real files.
  // readdir of a simulated directory gives ".", "..", then the entries in byte order
  // (mtd0, mtd0ro, mtd1, mtd10, ...). Simulated files are read as they were at open time.
  //
  // Call record.
  const std::vector<Call>& calls() const { return calls_; }
  void clear_calls() { calls_.clear(); }
  size_t count(const std::string& op) const;
  size_t count_ioctl(unsigned long request) const;
  // Calls on simulated nodes and files only (pass-through calls excluded).
  size_t count_sim() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::vector<Call> calls_;
  const kernel_ops* previous_;
  friend struct Impl;
};

}  // namespace sim
