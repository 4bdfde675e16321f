// Boot environment blocks with any contents: the input is the block. A variable set on it
// must save into a block whose CRC verifies and which parses back to the same list.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EnvUtil.h"
#include "UCrc32.h"

namespace {

std::string g_path;

void RemovePath() { unlink(g_path.c_str()); }

const char* BlockPath() {
  static std::string path = [] {
    char tmpl[] = "/tmp/fuzz_env.XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    close(fd);
    g_path = tmpl;
    atexit(RemovePath);
    return std::string(tmpl);
  }();
  return path.c_str();
}

void WriteBlock(const void* data, size_t size) {
  FILE* f = fopen(BlockPath(), "wb");
  if (!f) abort();
  if (size && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();
}

unsigned int LoadLe(const unsigned char* p) {
  return static_cast<unsigned int>(p[0]) | (static_cast<unsigned int>(p[1]) << 8) |
         (static_cast<unsigned int>(p[2]) << 16) | (static_cast<unsigned int>(p[3]) << 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  WriteBlock(data, size);
  // Block size: the input's own size, so every byte counts, but at least a CRC word.
  const unsigned int block = size < 4 ? 4 : static_cast<unsigned int>(size);
  EnvUtil env(BlockPath(), block);
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
  if (LoadLe(u) != crc32(0, u + 4, block - 4)) abort();
  if (env.GetCRC() != LoadLe(u)) abort();

  WriteBlock(out.data(), out.size());
  EnvUtil again(BlockPath(), block);
  if (!again.IsLoaded()) abort();
  if (again.Entries() != env.Entries()) abort();
  const char* v = again.GetKeyValue("fwapply_fuzz");
  if (!v || strcmp(v, kValue) != 0) abort();
  return 0;
}
