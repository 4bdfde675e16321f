// The chip a package is checked against: its size, eraseblock, partitions and the "/proc/mtd"
// lines that the scripts' ifnpart looks at; the simulated board's, or read from a "/proc/mtd" copy.
#pragma once

#include <string>
#include <vector>

// A stretch of the chip: a partition, or the unpartitioned space between partitions (no name).
struct Region {
  std::string name;
  long long start;
  long long size;
};

class Layout {
 public:
  // Pages of the chip: the script format's OOB records are one 2048-byte page and 32 OOB bytes.
  static const long long kPageSize = 2048;

  // The board of scripts/board.sh: a 128 MiB chip of 128 KiB eraseblocks as /dev/mtd0, and the
  // boot environment at 0x3C0000 ("env", /dev/mtdblock4).
  static Layout Board();
  // Text in the format of "/proc/mtd". Partitions lie end to end from the chip's first byte in
  // the order listed; a first line at least as large as all the others together is the whole
  // chip (the board's /dev/mtd0). The mtd4 line, when there is one, is the boot environment
  // (fwapply reads it as /dev/mtdblock4). false, with the reason in why, for a text that is no
  // such table.
  static bool Parse(const std::string& text, Layout* layout, std::string* why);

  long long chip_size() const { return chip_size_; }
  long long erase_size() const { return erase_size_; }
  // Regions in chip order, covering the chip without gaps.
  const std::vector<Region>& regions() const { return regions_; }
  // Index of the region holding offset, or -1 outside the chip.
  int RegionAt(long long offset) const;
  // Index of the boot environment's region, or -1 when the layout does not say.
  int env() const { return env_; }
  // Names of the partitions that [start, end) touches, in chip order.
  std::vector<std::string> Names(long long start, long long end) const;
  // "env at 0x3c0000", or "0x3c0000" where no partition begins: where a range ends and the
  // next thing begins, for messages.
  std::string Place(long long offset) const;

  // ifnpart's question: 1 when a line of "/proc/mtd" matches pattern as a basic regular
  // expression (the line in matched), 0 when none does, -1 when pattern is no expression.
  int Match(const std::string& pattern, std::string* matched) const;
  // The header line of "/proc/mtd", which ifnpart's patterns see as well.
  static const char kHeader[];

 private:
  void Tile(const std::vector<Region>& parts);

  long long chip_size_ = 0;
  long long erase_size_ = 0;
  std::vector<Region> regions_;
  int env_ = -1;
  std::string proc_mtd_;
};
