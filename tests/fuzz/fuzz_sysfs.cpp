// MTD sysfs attribute files of mtd0: the input cut at NUL bytes, one piece per attribute in
// order; "-" removes the file, an empty or missing piece keeps the generated one.
#include <string>

#include "fuzz_mtd.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sim::Kernel k;  // fresh: a removed or rewritten file must not reach the next input
  AddBoard(&k);
  std::string in(reinterpret_cast<const char*>(data), size);
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
  libmtd_t lib = libmtd_open();
  if (!lib) return 0;
  mtd_info info{};
  mtd_dev_info d{};
  if (mtd_get_info(lib, &info) == 0 && info.mtd_dev_cnt < 0) abort();
  if (mtd_get_dev_info1(lib, 0, &d) == 0) {
    CheckDev(d);
    // Every eraseblock computation divides by these.
    if (d.eb_size <= 0 || d.subpage_size <= 0 || d.size < 0 || d.eb_cnt < 0) abort();
    mtd_valid_erase_block(&d, 0);
  }
  if (mtd_get_dev_info(lib, "/dev/mtd0", &d) == 0) CheckDev(d);
  mtd_dev_present(lib, 0);
  libmtd_close(lib);
  if (k.open_fds() != 0) abort();
  return 0;
}
