// Boot environment blocks with any contents (the input is the block): a variable set on one
// saves into a block whose CRC verifies and which loads back to the same entries.
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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
  for (const std::string& e : env.Entries())
    if (e.empty() || e.find('\0') != std::string::npos) abort();
  env.GetIntValue("bootcount");
  env.SetKeyValue("fwapply_fuzz", "fuzz");
  std::vector<char> out(block, 'x');
  if (env.SaveMemory(out.data()) != 0) {
    if (std::count(out.begin(), out.end(), 'x') != block) abort();  // a refused save leaves it alone
    return 0;
  }
  const unsigned char* u = reinterpret_cast<const unsigned char*>(out.data());
  const unsigned int stored = u[0] | u[1] << 8 | u[2] << 16 | static_cast<unsigned int>(u[3]) << 24;
  if (stored != crc32(0, u + 4, block - 4) || env.GetCRC() != stored) abort();
  if (ftruncate(fd, 0) != 0 || pwrite(fd, out.data(), block, 0) != static_cast<ssize_t>(block)) abort();
  EnvUtil again(path.c_str(), block);
  const char* v = again.GetKeyValue("fwapply_fuzz");
  if (!again.IsLoaded() || again.Entries() != env.Entries() || !v || strcmp(v, "fuzz") != 0) abort();
  return 0;
}
