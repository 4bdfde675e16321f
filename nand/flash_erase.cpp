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

}  // namespace

int flash_erase(const char* device, int start, int count) {
  bool isNAND;
  int noskipbad = 0;  // bad-block checking is on at the start of every call
  int result = 0;
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
  if (mtd_get_dev_info(mtd_desc, device, &mtd) < 0 || mtd.eb_size <= 0) {
    errmsg("mtd_get_dev_info failed\n");
    k_close(fd);
    libmtd_close(mtd_desc);
    return -1;
  }
  isNAND = mtd.type == kMtdNandFlash;

  // A negative start or count (a script length below zero) names no block: it must not turn
  // into "everything up to the end of the device".
  if (start < 0 || count < 0) {
    k_close(fd);
    libmtd_close(mtd_desc);
    return 0;
  }

  uint32_t eb_start = static_cast<uint32_t>(static_cast<uint64_t>(start) / static_cast<uint64_t>(mtd.eb_size));
  uint32_t eb_cnt = static_cast<uint32_t>(count);
  if (eb_cnt == 0) eb_cnt = static_cast<uint32_t>(mtd.size / mtd.eb_size) - eb_start;
  const uint32_t eb_end = eb_start + eb_cnt;
  last_first = eb_start;

  for (uint32_t eb = eb_start; eb < eb_end; eb++) {
    if (!noskipbad) {
      int ret = mtd_is_bad(&mtd, fd, static_cast<int>(eb));
      if (ret > 0) {
        printf("Skipping bad block at %08x", static_cast<unsigned int>(static_cast<uint64_t>(eb) * mtd.eb_size));
        note(eb, kBlockBad);
        continue;
      }
      if (ret < 0) {
        int err = errno;
        if (err == EOPNOTSUPP) {
          if (isNAND) {
            errmsg("%s: Bad block check not available\n", device);
            result = -1;
            break;
          }
          noskipbad = 1;
        } else {
          errmsg("%s: MTD get bad block failed\n", device);
          errno_line(err);
          result = -1;
          break;
        }
      }
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

  k_close(fd);
  libmtd_close(mtd_desc);
  return result;
}

FlashBlockState flash_erase_state(const char* device, long long eb) {
  if (!device || last_device != device || eb < last_first) return kBlockNotReached;
  const unsigned long long i = static_cast<unsigned long long>(eb - last_first);
  return i < last_states.size() ? static_cast<FlashBlockState>(last_states[i]) : kBlockNotReached;
}
