// Range erase: a run of eraseblocks is erased in ascending order; bad blocks are passed over and
// a block that fails to erase is reported without stopping the run.
#include "flash_erase.h"

#include "tool_report.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kernel.h"
#include "libmtd.h"

namespace {

const char kTool[] = "flash_erase";
const int kMtdNandFlash = 4;  // the kernel's MTD_NANDFLASH type code

#define errmsg(...) tool_errmsg(kTool, __VA_ARGS__)

void errno_line(int err) { tool_errno_line(kTool, err); }

// The last call's outcome per block, from its first block on.
std::string last_device;
uint32_t last_first = 0;
std::vector<unsigned char> last_states;

void note(uint32_t eb, FlashBlockState state) {
  last_states.resize(eb - last_first + 1, kBlockNotReached);
  last_states[eb - last_first] = static_cast<unsigned char>(state);
}

// Whether block eb is passed over as bad (1), erased (0), or the run stops there (-1, reported).
// A device without bad-block support that is no NAND chip is erased without asking again.
int check_bad(const mtd_dev_info& mtd, int fd, uint32_t eb, const char* device, bool* noskipbad) {
  if (*noskipbad) return 0;
  const int ret = mtd_is_bad(&mtd, fd, static_cast<int>(eb));
  if (ret > 0) {
    printf("Skipping bad block at %08x", static_cast<unsigned int>(static_cast<uint64_t>(eb) * mtd.eb_size));
    return 1;
  }
  if (ret == 0) return 0;
  const int err = errno;
  if (err == EOPNOTSUPP && mtd.type != kMtdNandFlash) {
    *noskipbad = true;
    return 0;
  }
  if (err == EOPNOTSUPP) {
    errmsg("%s: Bad block check not available\n", device);
  } else {
    errmsg("%s: MTD get bad block failed\n", device);
    errno_line(err);
  }
  return -1;
}

int erase_blocks(libmtd_t mtd_desc, const mtd_dev_info& mtd, int fd, const char* device, int start,
                 int count) {
  const uint32_t eb_start =
      static_cast<uint32_t>(static_cast<uint64_t>(start) / static_cast<uint64_t>(mtd.eb_size));
  uint32_t eb_cnt = static_cast<uint32_t>(count);
  if (eb_cnt == 0) eb_cnt = static_cast<uint32_t>(mtd.size / mtd.eb_size) - eb_start;
  const uint32_t eb_end = eb_start + eb_cnt;
  last_first = eb_start;
  bool noskipbad = false;  // bad-block checking is on at the start of every call
  for (uint32_t eb = eb_start; eb < eb_end; eb++) {
    const int bad = check_bad(mtd, fd, eb, device, &noskipbad);
    if (bad < 0) return -1;
    if (bad > 0) {
      note(eb, kBlockBad);
      continue;
    }
    if (mtd_erase(mtd_desc, &mtd, fd, static_cast<int>(eb)) != 0) {
      int err = errno;
      errmsg("%s: MTD Erase failure\n", device);
      errno_line(err);
      note(eb, kBlockEraseFailed);
    } else {
      note(eb, kBlockErased);
    }
  }
  return 0;
}

}  // namespace

int flash_erase(const char* device, int start, int count) {
  last_device = device ? device : "";
  last_first = 0;
  last_states.clear();

  libmtd_t mtd_desc = libmtd_open();
  if (!mtd_desc) {
    errmsg("can't initialize libmtd\n");
    return -1;
  }
  int fd = k_open(device, O_RDWR);
  if (fd < 0) {
    int err = errno;
    errmsg("%s\n", device);
    errno_line(err);
    libmtd_close(mtd_desc);
    return -1;
  }
  mtd_dev_info mtd;
  int result = 0;
  if (mtd_get_dev_info(mtd_desc, device, &mtd) < 0 || mtd.eb_size <= 0) {
    errmsg("mtd_get_dev_info failed\n");
    result = -1;
  } else if (start >= 0 && count >= 0) {
    // A negative start or count (a script length below zero) names no block: it must not
    // turn into "everything up to the end of the device".
    result = erase_blocks(mtd_desc, mtd, fd, device, start, count);
  }
  k_close(fd);
  libmtd_close(mtd_desc);
  return result;
}

FlashBlockState flash_erase_state(const char* device, long long eb) {
  if (!device || last_device != device || eb < last_first) return kBlockNotReached;
  const unsigned long long i = static_cast<unsigned long long>(eb - last_first);
  return i < last_states.size() ? static_cast<FlashBlockState>(last_states[i]) : kBlockNotReached;
}
