// "/proc/mtd" tables of kernels without MTD sysfs, read through the simulated kernel.
#include <string>

#include "fuzz_mtd.h"
#include "libmtd_legacy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static sim::Kernel* k = [] {
    sim::Kernel* kk = new sim::Kernel();
    AddBoard(kk);
    kk->no_sysfs();
    return kk;
  }();
  k->set_file("/proc/mtd", std::string(reinterpret_cast<const char*>(data), size));
  k->clear_calls();
  mtd_info info{};
  mtd_dev_info d{};
  if (legacy_mtd_get_info(&info) == 0)
    for (int i = info.lowest_mtd_num, n = 0; info.mtd_dev_cnt > 0 && i <= info.highest_mtd_num && n < 8;
         i++, n++) {
      if (legacy_get_dev_info1(i, &d) == 0) CheckDev(d);
      legacy_dev_present(i);
    }
  if (legacy_get_dev_info("/dev/mtd1", &d) == 0) CheckDev(d);
  if (libmtd_t lib = libmtd_open()) {  // the whole layer in its /proc/mtd mode
    if (mtd_get_info(lib, &info) == 0 && mtd_get_dev_info1(lib, 0, &d) == 0) CheckDev(d);
    libmtd_close(lib);
  }
  if (k->open_fds() != 0) abort();  // every path closes what it opened
  return 0;
}
