// MTD discovery of a 16-eraseblock chip; names must end within their fields. The first byte
// picks the source: even, mtd0's sysfs files (the rest cut at NUL bytes, a piece per attribute;
// "-" removes the file, an empty one keeps it); odd, "/proc/mtd" of a kernel without MTD sysfs.
#include <stdlib.h>
#include <string.h>

#include <string>

#include "libmtd.h"
#include "libmtd_legacy.h"
#include "sim_kernel.h"

static void CheckDev(const mtd_dev_info& d) {
  if (strnlen(d.name, sizeof d.name) == sizeof d.name ||
      strnlen(d.type_str, sizeof d.type_str) == sizeof d.type_str)
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static sim::Chip* chip = new sim::Chip(sim::Geometry{2048, 64, 0x20000, 0, 16 * 0x20000});
  sim::Kernel k;  // fresh: a removed or rewritten file must not reach the next input
  k.add_mtd(0, chip, "whole");
  k.add_mtd(1, chip, "env", 0, 2 * 0x20000);
  const std::string in(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool sysfs = (data[0] & 1) == 0;
  mtd_info info{};
  mtd_dev_info d{};
  if (sysfs) {
    size_t at = 0;
    for (const char* a : {"name", "type", "size", "erasesize", "writesize", "subpagesize", "oobsize",
                          "numeraseregions", "flags", "dev"}) {
      if (at >= in.size()) break;
      const std::string piece = in.substr(at, in.find('\0', at) - at),
                        path = std::string("/sys/class/mtd/mtd0/") + a;
      if (piece == "-") k.remove_file(path);
      if (piece != "-" && !piece.empty()) k.set_file(path, piece);
      at += piece.size() + 1;
    }
  } else {
    k.no_sysfs();
    k.set_file("/proc/mtd", in);
    if (legacy_mtd_get_info(&info) == 0)
      for (int i = info.lowest_mtd_num, n = 0; info.mtd_dev_cnt > 0 && i <= info.highest_mtd_num && n < 8;
           i++, n++) {
        if (legacy_get_dev_info1(i, &d) == 0) CheckDev(d);
        legacy_dev_present(i);
      }
    if (legacy_get_dev_info("/dev/mtd1", &d) == 0) CheckDev(d);
  }
  if (libmtd_t lib = libmtd_open()) {  // the whole layer, in the mode the board leaves it
    if (mtd_get_info(lib, &info) == 0 && info.mtd_dev_cnt < 0) abort();
    if (mtd_get_dev_info1(lib, 0, &d) == 0) {
      CheckDev(d);
      // Every eraseblock computation divides by these (the old interface takes them from the chip).
      if (sysfs && (d.eb_size <= 0 || d.subpage_size <= 0 || d.size < 0 || d.eb_cnt < 0)) abort();
      if (sysfs) mtd_valid_erase_block(&d, 0);
    }
    if (mtd_get_dev_info(lib, "/dev/mtd0", &d) == 0) CheckDev(d);
    mtd_dev_present(lib, 0);
    libmtd_close(lib);
  }
  if (k.open_fds() != 0) abort();  // every path closes what it opened
  return 0;
}
