// A simulated raw NAND chip: data and OOB bytes under the NAND programming rules, bad-block
// table, lock bits, ECC counters and injected faults.
#pragma once

#include <errno.h>
#include <stdint.h>

#include <map>
#include <set>
#include <utility>
#include <vector>

namespace sim {

struct Geometry {
  uint32_t page_size = 2048;
  uint32_t oob_size = 64;
  uint32_t eb_size = 128 * 1024;
  uint32_t subpage_size = 0;   // 0: same as page_size
  uint64_t size = 8ull << 20;  // bytes; 128 MiB for the board
};

// NAND rules: programming ANDs bits (1 -> 0 only) and only erased bytes may be programmed;
// a program over non-erased bytes is still ANDed in but counted in violations().
//
// Semantics the flash layers' users rely on:
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

  // Raw access: no rules, no counters, no faults.
  uint8_t* data(uint64_t offset = 0) { return &data_[offset]; }
  uint8_t* oob(uint64_t page) { return &oob_[page * g_.oob_size]; }
  void fill(uint64_t offset, uint64_t len, uint8_t value);
  bool is_erased(uint64_t offset, uint64_t len) const;  // data and OOB of the pages touched

  // Bad blocks: factory marks set by the owner, run-time marks by MEMSETBADBLOCK.
  void mark_bad(uint32_t eb);
  void clear_bad(uint32_t eb);  // a fresh chip's table, for a harness that reuses one chip
  bool is_bad(uint32_t eb) const;
  bool bb_supported = true;  // false: MEMGETBADBLOCK answers EOPNOTSUPP

  // Operations with NAND rules, used by the simulated kernel (owners may call them too).
  int program(uint64_t offset, const uint8_t* buf, uint64_t len);  // data bytes; 0 or -errno
  int program_oob(uint64_t page, uint32_t offs, const uint8_t* buf, uint32_t len);
  int erase(uint32_t eb);  // 0 or -errno; a bad block cannot be erased (EIO)
  // Reads count bitflips of the pages touched into the ECC counters.
  int read(uint64_t offset, uint8_t* buf, uint64_t len);
  int read_oob(uint64_t page, uint32_t offs, uint8_t* buf, uint32_t len) const;
  // One program operation on one page: data bytes from column col (may be null/0) and OOB
  // bytes at oob_offs (may be null/0), as one NAND page program. 0 or -errno. program() and
  // program_oob() are built on it; a failing page is left unprogrammed.
  int program_page(uint64_t page, uint32_t col, const uint8_t* buf, uint32_t len, const uint8_t* oob,
                   uint32_t oob_offs, uint32_t oob_len);

  // Block lock bits (MEMLOCK/MEMUNLOCK/MEMISLOCKED). Programs and erases of a locked
  // block fail with EIO, as a locked NAND block reports a failed status.
  void lock(uint32_t eb, bool locked = true);
  bool is_locked(uint32_t eb) const;

  // Fault injection. Each fault fires `times` times (-1: always).
  void fail_program(uint64_t page, int err = EIO, int times = 1);
  void fail_erase(uint32_t eb, int err = EIO, int times = 1);
  // 0, or the -errno of a program fault armed for page, which this takes as one program.
  int take_program_fault(uint64_t page);
  // Every read of this page adds these to the corrected and failed ECC counters.
  void bitflips(uint64_t page, uint32_t corrected, uint32_t failed);

  uint32_t ecc_corrected = 0, ecc_failed = 0, ecc_badblocks = 0, ecc_bbtblocks = 0;
  uint64_t violations() const { return violations_; }
  // A page programmed over bytes that were not erased ends the process at once (abort), so that
  // no run passes with one, wherever it happens; a harness that counts them turns this off.
  bool strict = true;
  uint64_t programs() const { return programs_; }  // page programs attempted
  uint64_t erases() const { return erases_; }      // block erases attempted
  std::vector<uint32_t> erased_blocks;             // in order, successful erases only

  // Power cut, for a power-cut map: counting from this call, n more erases and page programs
  // (those erases() and programs() count) complete, and the next one is interrupted:
  // - an interrupted erase leaves the first half of the block's pages erased (data and OOB
  //   0xFF) and the second half as it was;
  // - an interrupted page program burns its bytes in but leaves the page unreadable: data
  //   reads that touch it fail with EBADMSG and add 1 to ecc_failed for it (OOB reads and the
  //   kernel's raw-mode reads bypass ECC and still succeed), is_erased() is false for it, a
  //   later program onto it is a violation, and only an erase of its block makes it readable;
  // - on a bad or locked block the interrupted operation changes nothing.
  // The interrupted operation fails with EIO, and from then on the chip is dead: every
  // operation above fails with EIO, changes nothing and is not counted, and the simulated
  // kernel also refuses bad-block queries and marks, lock requests and raw-mode reads with
  // EIO. Raw access (data(), oob(), fill(), is_bad() ...) keeps working.
  void cut_after(uint64_t n);
  bool cut() const { return dead_; }  // the chip is dead: the cut happened, not yet revived
  uint64_t ops() const { return erases_ + programs_; }
  // Ends the dead state, and a cut still to come, so that the flash can be read back; pages
  // left unreadable stay so.
  void revive();
  bool page_unreadable(uint64_t page) const { return unreadable_.count(page) > 0; }

 private:
  struct Fault {
    int err;
    int times;
  };
  bool take_fault(std::map<uint64_t, Fault>& m, uint64_t key, int* err);
  bool power_fails();
  void wipe_pages(uint64_t first, uint64_t count);
  void note_violation(uint64_t page);

  Geometry g_;
  std::vector<uint8_t> data_, oob_;
  std::vector<bool> bad_, locked_;
  std::map<uint64_t, Fault> program_faults_, erase_faults_;
  std::map<uint64_t, std::pair<uint32_t, uint32_t>> flips_;
  uint64_t violations_ = 0, programs_ = 0, erases_ = 0;
  std::set<uint64_t> unreadable_;
  bool cut_armed_ = false, dead_ = false;
  uint64_t cut_at_ = 0;  // ops() after the last operation that completes
};

}  // namespace sim
