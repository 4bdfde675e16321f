// The chip follows raw NAND: bits only go from 1 to 0 until the block is erased, and a refused
// program or erase leaves the cells as they were.
#include "sim_chip.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace sim {

namespace {

// The top bit of each byte of x that is not zero.
uint64_t nonzero_bytes(uint64_t x) {
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
  return (((x & low7) + low7) | x) & ~low7;
}

// ANDs src into dst; true when a byte was programmed over, that is neither it nor its new
// value is 0xFF. Eight bytes at a time: the fuzz targets program pages all the time, under ASan.
bool burn(uint8_t* dst, const uint8_t* src, uint32_t n) {
  bool violated = false;
  uint32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t d, s;
    memcpy(&d, dst + i, 8);
    memcpy(&s, src + i, 8);
    if (nonzero_bytes(~d) & nonzero_bytes(~s)) violated = true;
    d &= s;
    memcpy(dst + i, &d, 8);
  }
  for (; i < n; i++) {
    if (src[i] != 0xFF && dst[i] != 0xFF) violated = true;
    dst[i] &= src[i];
  }
  return violated;
}

// True when buf would clear at least one bit.
bool programs_bits(const uint8_t* buf, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (buf[i] != 0xFF) return true;
  return false;
}

}  // namespace

Chip::Chip(const Geometry& g) : g_(g) {
  if (g_.subpage_size == 0) g_.subpage_size = g_.page_size;
  data_.assign(g_.size, 0xFF);
  oob_.assign(page_count() * g_.oob_size, 0xFF);
  bad_.assign(block_count(), false);
  locked_.assign(block_count(), false);
}

void Chip::fill(uint64_t offset, uint64_t len, uint8_t value) {
  if (offset > g_.size || len > g_.size - offset) return;
  memset(&data_[offset], value, len);
}

bool Chip::is_erased(uint64_t offset, uint64_t len) const {
  if (len == 0) return true;
  if (offset > g_.size || len > g_.size - offset) return false;
  for (uint64_t i = 0; i < len; i++)
    if (data_[offset + i] != 0xFF) return false;
  uint64_t first = offset / g_.page_size, last = (offset + len - 1) / g_.page_size;
  // An interrupted program may have left 0xFF bytes, but its cells are not erased.
  auto spoilt = unreadable_.lower_bound(first);
  if (spoilt != unreadable_.end() && *spoilt <= last) return false;
  for (uint64_t p = first; p <= last; p++)
    for (uint32_t i = 0; i < g_.oob_size; i++)
      if (oob_[p * g_.oob_size + i] != 0xFF) return false;
  return true;
}

void Chip::mark_bad(uint32_t eb) {
  if (eb >= bad_.size() || bad_[eb]) return;
  bad_[eb] = true;
  ecc_badblocks++;  // the kernel counts every block it knows to be bad
}

void Chip::clear_bad(uint32_t eb) {
  if (eb >= bad_.size() || !bad_[eb]) return;
  bad_[eb] = false;
  ecc_badblocks--;
}

bool Chip::is_bad(uint32_t eb) const { return eb < bad_.size() && bad_[eb]; }

void Chip::lock(uint32_t eb, bool locked) {
  if (eb < locked_.size()) locked_[eb] = locked;
}

bool Chip::is_locked(uint32_t eb) const { return eb < locked_.size() && locked_[eb]; }

bool Chip::take_fault(std::map<uint64_t, Fault>& m, uint64_t key, int* err) {
  auto it = m.find(key);
  if (it == m.end() || it->second.times == 0) return false;
  *err = it->second.err;
  if (it->second.times > 0 && --it->second.times == 0) m.erase(it);
  return true;
}

int Chip::program_page(uint64_t page, uint32_t col, const uint8_t* buf, uint32_t len, const uint8_t* oob,
                       uint32_t oob_offs, uint32_t oob_len) {
  if (!buf) len = 0;
  if (!oob) oob_len = 0;
  if (page >= page_count() || col > g_.page_size || len > g_.page_size - col || oob_offs > g_.oob_size ||
      oob_len > g_.oob_size - oob_offs)
    return -EINVAL;
  if (dead_) return -EIO;
  programs_++;
  const bool interrupted = power_fails();
  uint32_t eb = static_cast<uint32_t>(page / pages_per_block());
  if (is_bad(eb) || is_locked(eb)) return -EIO;
  int err = 0;
  if (!interrupted && take_fault(program_faults_, page, &err)) return -err;
  // A page an interrupted program left behind is not erased, whatever its bytes say.
  bool violated = page_unreadable(page) && (programs_bits(buf, len) || programs_bits(oob, oob_len));
  // Data and OOB are both burnt, whatever the first gave: they are one program operation.
  violated = burn(&data_[page * g_.page_size + col], buf, len) || violated;
  violated = burn(&oob_[page * g_.oob_size + oob_offs], oob, oob_len) || violated;
  if (violated) note_violation(page);
  if (!interrupted) return 0;
  unreadable_.insert(page);
  return -EIO;
}

void Chip::note_violation(uint64_t page) {
  violations_++;
  if (strict) {
    fprintf(stderr, "sim: page %llu programmed over bytes that were not erased\n",
            static_cast<unsigned long long>(page));
    abort();
  }
}

int Chip::program(uint64_t offset, const uint8_t* buf, uint64_t len) {
  if (offset > g_.size || len > g_.size - offset) return -EINVAL;
  if (offset % g_.subpage_size || len % g_.subpage_size) return -EINVAL;
  while (len > 0) {
    uint64_t page = offset / g_.page_size;
    uint32_t col = static_cast<uint32_t>(offset % g_.page_size);
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(g_.page_size - col, len));
    int rc = program_page(page, col, buf, n, nullptr, 0, 0);
    if (rc) return rc;
    offset += n;
    buf += n;
    len -= n;
  }
  return 0;
}

int Chip::program_oob(uint64_t page, uint32_t offs, const uint8_t* buf, uint32_t len) {
  if (page >= page_count() || offs > g_.oob_size || len > g_.oob_size - offs) return -EINVAL;
  return program_page(page, 0, nullptr, 0, buf, offs, len);
}

void Chip::wipe_pages(uint64_t first, uint64_t count) {
  memset(&data_[first * g_.page_size], 0xFF, count * g_.page_size);
  memset(&oob_[first * g_.oob_size], 0xFF, count * g_.oob_size);
  unreadable_.erase(unreadable_.lower_bound(first), unreadable_.lower_bound(first + count));
}

int Chip::erase(uint32_t eb) {
  if (eb >= block_count()) return -EINVAL;
  if (dead_) return -EIO;
  erases_++;
  const bool interrupted = power_fails();
  if (is_bad(eb) || is_locked(eb)) return -EIO;
  const uint64_t first = static_cast<uint64_t>(eb) * pages_per_block();
  if (interrupted) {
    wipe_pages(first, pages_per_block() / 2);
    return -EIO;
  }
  int err = 0;
  if (take_fault(erase_faults_, eb, &err)) return -err;  // the block keeps its contents
  wipe_pages(first, pages_per_block());
  erased_blocks.push_back(eb);
  return 0;
}

int Chip::read(uint64_t offset, uint8_t* buf, uint64_t len) {
  if (offset > g_.size || len > g_.size - offset) return -EINVAL;
  if (len == 0) return 0;
  if (dead_) return -EIO;
  memcpy(buf, &data_[offset], len);
  uint64_t first = offset / g_.page_size, last = (offset + len - 1) / g_.page_size;
  for (auto it = flips_.lower_bound(first); it != flips_.end() && it->first <= last; ++it) {
    ecc_corrected += it->second.first;
    ecc_failed += it->second.second;
  }
  // Like the NAND core, the data is handed over all the same; the caller is told it is bad.
  int rc = 0;
  for (auto it = unreadable_.lower_bound(first); it != unreadable_.end() && *it <= last; ++it) {
    ecc_failed++;
    rc = -EBADMSG;
  }
  return rc;
}

int Chip::read_oob(uint64_t page, uint32_t offs, uint8_t* buf, uint32_t len) const {
  if (page >= page_count() || offs > g_.oob_size || len > g_.oob_size - offs) return -EINVAL;
  if (dead_) return -EIO;
  memcpy(buf, &oob_[page * g_.oob_size + offs], len);
  return 0;
}

void Chip::cut_after(uint64_t n) {
  cut_armed_ = true;
  cut_at_ = ops() + n;
}

void Chip::revive() {
  cut_armed_ = false;
  dead_ = false;
}

// Called once for each operation just counted: true when it is the one the armed cut
// interrupts, and from then on the chip is dead.
bool Chip::power_fails() {
  if (!cut_armed_ || ops() <= cut_at_) return false;
  cut_armed_ = false;
  dead_ = true;
  return true;
}

void Chip::fail_program(uint64_t page, int err, int times) { program_faults_[page] = {err, times}; }

int Chip::take_program_fault(uint64_t page) {
  int err = 0;
  return take_fault(program_faults_, page, &err) ? -err : 0;
}
void Chip::fail_erase(uint32_t eb, int err, int times) { erase_faults_[eb] = {err, times}; }
void Chip::bitflips(uint64_t page, uint32_t corrected, uint32_t failed) {
  if (corrected == 0 && failed == 0)
    flips_.erase(page);
  else
    flips_[page] = {corrected, failed};
}

}  // namespace sim
