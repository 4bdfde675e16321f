// A simulated NAND chip and a simulated kernel (device nodes, MTD ioctls, sysfs, "/proc/mtd")
// installed behind the kernel boundary, with fault injection and a record of every call.
#pragma once

#include <stdint.h>
#include <sys/ioctl.h>  // before mtd-user.h, which uses _IOR and friends without it

#include <mtd/mtd-user.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"

namespace sim {

struct Geometry {
  uint32_t page_size = 2048;
  uint32_t oob_size = 64;
  uint32_t eb_size = 128 * 1024;
  uint32_t subpage_size = 0;  // 0: same as page_size
  uint64_t size = 8ull << 20;  // bytes; keep small in tests, 128 MiB for the board
};

// One NAND chip: data and OOB bytes, bad-block marks, ECC counters and injected faults.
// NAND rules: programming ANDs bits (1 -> 0 only) and only erased bytes may be programmed;
// a program over non-erased bytes is still ANDed in but counted in violations().
//
// Semantics the flash tests rely on:
// - violations(): page programs that put a non-0xFF byte onto a byte that was not 0xFF
//   (writing 0xFF over programmed bytes changes nothing and is not counted).
// - programs()/erases(): every page program / block erase that reaches the chip, including
//   those refused because the block is bad or locked and those failed by an injected fault;
//   requests the kernel refuses first (alignment, range, read-only fd) are not counted.
// - A program that fails (bad block -> EIO, locked block -> EIO, injected fault -> its errno)
//   leaves the failing page entirely unprogrammed, data and OOB; in a multi-page program the
//   pages before it stay programmed and the pages after it are not attempted.
// - A failed erase (bad/locked block, injected fault) leaves the block as it was.
// - Bad marks live in a table, like a BBT: they do not change OOB bytes. mark_bad() of a good
//   block adds 1 to ecc_badblocks, as the kernel counts every bad block it knows.
// - OOB holds exactly what was programmed into it: no ECC bytes are generated.
// - Bitflips only count; the data read back is the stored data. OOB reads never count.
class Chip {
 public:
  explicit Chip(const Geometry& g = Geometry());

  const Geometry& geometry() const { return g_; }
  uint32_t pages_per_block() const { return g_.eb_size / g_.page_size; }
  uint64_t page_count() const { return g_.size / g_.page_size; }
  uint32_t block_count() const { return static_cast<uint32_t>(g_.size / g_.eb_size); }

  // Raw access for tests (no rules, no counters).
  uint8_t* data(uint64_t offset = 0) { return &data_[offset]; }
  uint8_t* oob(uint64_t page) { return &oob_[page * g_.oob_size]; }
  void fill(uint64_t offset, uint64_t len, uint8_t value);
  bool is_erased(uint64_t offset, uint64_t len) const;  // data and OOB of the pages touched

  // Bad blocks: factory marks set by tests, run-time marks by MEMSETBADBLOCK.
  void mark_bad(uint32_t eb);
  void clear_bad(uint32_t eb);  // a fresh chip's table, for a harness that reuses one chip
  bool is_bad(uint32_t eb) const;
  bool bb_supported = true;  // false: MEMGETBADBLOCK answers EOPNOTSUPP

  // Operations with NAND rules, used by the simulated kernel (tests may call them too).
  int program(uint64_t offset, const uint8_t* buf, uint64_t len);  // data bytes; 0 or -errno
  int program_oob(uint64_t page, uint32_t offs, const uint8_t* buf, uint32_t len);
  int erase(uint32_t eb);  // 0 or -errno; a bad block cannot be erased (EIO)
  // Reads count bitflips of the pages touched into the ECC counters.
  int read(uint64_t offset, uint8_t* buf, uint64_t len);
  int read_oob(uint64_t page, uint32_t offs, uint8_t* buf, uint32_t len) const;
  // One program operation on one page: data bytes from column col (may be null/0) and OOB
  // bytes at oob_offs (may be null/0), as one NAND page program. 0 or -errno. program() and
  // program_oob() are built on it; a failing page is left unprogrammed.
  int program_page(uint64_t page, uint32_t col, const uint8_t* buf, uint32_t len,
                   const uint8_t* oob, uint32_t oob_offs, uint32_t oob_len);

  // Block lock bits (MEMLOCK/MEMUNLOCK/MEMISLOCKED). Programs and erases of a locked
  // block fail with EIO, as a locked NAND block reports a failed status.
  void lock(uint32_t eb, bool locked = true);
  bool is_locked(uint32_t eb) const;

  // Fault injection. Each fault fires `times` times (-1: always).
  void fail_program(uint64_t page, int err = 5 /*EIO*/, int times = 1);
  void fail_erase(uint32_t eb, int err = 5 /*EIO*/, int times = 1);
  // Every read of this page adds these to the corrected and failed ECC counters.
  void bitflips(uint64_t page, uint32_t corrected, uint32_t failed);

  uint32_t ecc_corrected = 0, ecc_failed = 0, ecc_badblocks = 0, ecc_bbtblocks = 0;
  uint64_t violations() const { return violations_; }
  // A page programmed over bytes that were not erased ends the process at once (abort), so that
  // no test passes with one, wherever it happens; tests of the counter itself turn this off.
  bool strict = true;
  uint64_t programs() const { return programs_; }  // page programs attempted
  uint64_t erases() const { return erases_; }      // block erases attempted
  std::vector<uint32_t> erased_blocks;              // in order, successful erases only

 private:
  struct Fault { int err; int times; };
  bool take_fault(std::map<uint64_t, Fault>& m, uint64_t key, int* err);

  Geometry g_;
  std::vector<uint8_t> data_, oob_;
  std::vector<bool> bad_, locked_;
  std::map<uint64_t, Fault> program_faults_, erase_faults_;
  std::map<uint64_t, std::pair<uint32_t, uint32_t>> flips_;
  uint64_t violations_ = 0, programs_ = 0, erases_ = 0;
};

// One recorded boundary call.
struct Call {
  std::string op;    // "open", "close", "read", "write", "lseek", "ioctl", "stat", "fstat",
                     // "opendir", "readdir", "closedir", "isatty"
  std::string path;  // for path calls; for fd calls the path the fd was opened with
  unsigned long request = 0;  // ioctl request number
  bool simulated = false;     // false: passed through to the real system
  // Byte address and length of the operation, where it has them: position and length of
  // read/write, the new position of lseek, start and length of erase, OOB, MEMWRITE,
  // bad-block and lock requests (for MEMWRITE the data length; 0 when none).
  uint64_t offset = 0, length = 0;
};

// The simulated kernel. Constructing one installs it behind the boundary; destroying it
// restores the previous kernel. Paths it does not know pass through to the real system
// (so temporary files of a test work), but are recorded too.
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
  void no_sysfs();        // /sys/class/mtd does not exist
  void no_proc_mtd();     // "/proc/mtd" does not exist
  // A character node with any device number; mtd_num >= 0 opens that MTD device, -1 makes
  // open fail with ENXIO. (For major/minor checks: e.g. minor 7 names mtd3.)
  void add_node(const std::string& path, int major, int minor, int mtd_num = -1);
  // Further faults on simulated paths and fds. times: how often (-1: always).
  void fail_open(const std::string& path, int err, int times = -1);  // open and opendir
  void fail_readdir(const std::string& path, int err);   // first readdir fails with err
  void fail_closedir(const std::string& path, int err);
  void fail_ioctl(unsigned long request, int err, int times = -1);  // any simulated fd; times 0: no more
  size_t open_fds() const;  // simulated fds and directory streams still open
  std::string proc_mtd() const;  // current "/proc/mtd" text

  // Kernel features (all present by default).
  bool has_memerase64 = true;   // false: MEMERASE64 -> ENOTTY
  bool has_oob64 = true;        // false: MEMREADOOB64/MEMWRITEOOB64 -> ENOTTY
  int oob64_errno = 0;          // non-zero: the 64-bit OOB requests fail with it
  bool has_memwrite = true;     // false: MEMWRITE -> ENOTTY
  int memwrite_errno = 25;      // errno used when has_memwrite is false (ENOTTY or EOPNOTSUPP)
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
