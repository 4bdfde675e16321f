// Boot environment blocks with any contents: the input is the block. A variable set on it
// must save into a block whose CRC verifies and which parses back to the same list.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EnvUtil.h"
#include "UCrc32.h"

namespace {

// The block lives in a memory file, which EnvUtil opens by its /proc name: no file to clean up.
const int g_fd = memfd_create("env", 0);
const std::string g_path = "/proc/self/fd/" + std::to_string(g_fd);

void WriteBlock(const void* data, size_t size) {
  if (ftruncate(g_fd, 0) != 0 || (size && pwrite(g_fd, data, size, 0) != static_cast<ssize_t>(size))) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  WriteBlock(data, size);
  // Block size: the input's own size, so every byte counts, but at least a CRC word.
  const unsigned int block = size < 4 ? 4 : static_cast<unsigned int>(size);
  EnvUtil env(g_path.c_str(), block);
  if (!env.IsLoaded()) abort();
  const std::vector<std::string> before = env.Entries();
  for (const std::string& e : before)
    if (e.empty() || e.find('\0') != std::string::npos) abort();
  env.GetIntValue("bootcount");
  env.GetKeyValue("bootcmd");

  const char* kValue = "fuzz";
  env.SetKeyValue("fwapply_fuzz", kValue);
  std::vector<char> out(block, 'x');
  if (env.SaveMemory(out.data()) != 0) {
    for (char c : out)
      if (c != 'x') abort();  // a refused save leaves the buffer alone
    return 0;
  }
  const unsigned char* u = reinterpret_cast<const unsigned char*>(out.data());
  const unsigned int stored = u[0] | u[1] << 8 | u[2] << 16 | static_cast<unsigned int>(u[3]) << 24;
  if (stored != crc32(0, u + 4, block - 4) || env.GetCRC() != stored) abort();

  WriteBlock(out.data(), out.size());
  EnvUtil again(g_path.c_str(), block);
  if (!again.IsLoaded()) abort();
  if (again.Entries() != env.Entries()) abort();
  const char* v = again.GetKeyValue("fwapply_fuzz");
  if (!v || strcmp(v, kValue) != 0) abort();
  return 0;
}
