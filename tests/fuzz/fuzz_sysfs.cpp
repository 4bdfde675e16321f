// MTD sysfs attribute files with any contents: the input is cut at NUL bytes into the
// attributes of mtd0, in the order of kAttrs; missing pieces keep the generated files.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "fuzz_mtd.h"

namespace {

const char* const kAttrs[] = {"name",      "type",        "size",    "erasesize",
                              "writesize", "subpagesize", "oobsize", "numeraseregions",
                              "flags",     "dev"};
const size_t kAttrCount = sizeof kAttrs / sizeof kAttrs[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A fresh kernel each time: removed or overridden files must not leak into the next input.
  sim::Kernel k;
  AddBoard(&k);
  const char* p = reinterpret_cast<const char*>(data);
  const char* end = p + size;
  for (size_t i = 0; i < kAttrCount && p < end; i++) {
    const char* nul = static_cast<const char*>(memchr(p, 0, static_cast<size_t>(end - p)));
    const char* stop = nul ? nul : end;
    std::string path = std::string("/sys/class/mtd/mtd0/") + kAttrs[i];
    if (stop - p == 1 && *p == '-')
      k.remove_file(path);
    else if (stop > p)
      k.set_file(path, std::string(p, static_cast<size_t>(stop - p)));
    p = nul ? nul + 1 : end;
  }

  libmtd_t lib = libmtd_open();
  if (!lib) return 0;
  mtd_info info;
  memset(&info, 0, sizeof info);
  if (mtd_get_info(lib, &info) == 0 && info.mtd_dev_cnt < 0) abort();
  mtd_dev_info d;
  memset(&d, 0, sizeof d);
  if (mtd_get_dev_info1(lib, 0, &d) == 0) {
    CheckDev(d);
    // Every eraseblock computation divides by these two.
    if (d.eb_size <= 0 || d.subpage_size <= 0 || d.size < 0 || d.eb_cnt < 0) abort();
    mtd_valid_erase_block(&d, 0);
  }
  memset(&d, 0, sizeof d);
  if (mtd_get_dev_info(lib, "/dev/mtd0", &d) == 0) CheckDev(d);
  mtd_dev_present(lib, 0);
  libmtd_close(lib);
  if (k.open_fds() != 0) abort();
  return 0;
}
