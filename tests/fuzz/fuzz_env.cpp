// Boot environment blocks with any contents (the input is the block): loaded, a variable set,
// and a saved block's CRC verifies (the campaign's oracle judges the saved entries).
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EnvUtil.h"
#include "UCrc32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("env", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (size > 16384 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
    return 0;
  const unsigned int block = size < 4 ? 4 : static_cast<unsigned int>(size);  // at least a CRC word
  EnvUtil env(path.c_str(), block);
  if (!env.IsLoaded()) abort();
  env.GetIntValue("bootcount");
  env.SetKeyValue("fwapply_fuzz", "fuzz");
  std::vector<unsigned char> out(block, 'x');
  if (env.SaveMemory(reinterpret_cast<char*>(out.data())) != 0) return 0;
  const unsigned int stored = out[0] | out[1] << 8 | out[2] << 16 | static_cast<unsigned int>(out[3]) << 24;
  if (stored != crc32(0, out.data() + 4, block - 4) || env.GetCRC() != stored) abort();
  return 0;
}
