// fwenv: builds a boot environment block from name=value arguments, or prints one from a
// file or device, in the layout the boot loader and fwapply share.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "EnvUtil.h"

namespace {

void Usage() {
  fprintf(stderr,
          "usage: fwenv make OUT.bin name=value...   write a 0x20000-byte block\n"
          "       fwenv print FILE [OFFSET]          show the block at OFFSET (hex) of FILE\n");
}

int Make(const char* out, int n, char** pairs) {
  EnvUtil env(nullptr, EnvUtil::kBlockSize);  // no device: an empty list to fill
  for (int i = 0; i < n; i++) {
    const char* eq = strchr(pairs[i], '=');
    if (!eq || eq == pairs[i]) {
      fprintf(stderr, "fwenv: \"%s\" is not name=value\n", pairs[i]);
      return 1;
    }
    env.SetKeyValue(std::string(pairs[i], static_cast<size_t>(eq - pairs[i])).c_str(), eq + 1);
  }
  std::vector<char> block(EnvUtil::kBlockSize);
  if (env.SaveMemory(block.data()) != 0) return 1;
  FILE* f = fopen(out, "wb");
  if (!f) {
    perror(out);
    return 1;
  }
  bool ok = fwrite(block.data(), 1, block.size(), f) == block.size();
  ok = fclose(f) == 0 && ok;
  if (!ok) {
    perror(out);
    remove(out);
    return 1;
  }
  return 0;
}

int Print(const char* path, unsigned int offset) {
  EnvUtil env(path, offset, EnvUtil::kBlockSize);
  if (!env.IsLoaded()) {
    fprintf(stderr, "fwenv: cannot read a block from %s at 0x%x\n", path, offset);
    return 1;
  }
  // The CRC the block holds against the one its entries give: a mismatch is what the boot
  // loader would reject.
  std::vector<char> block(EnvUtil::kBlockSize);
  const unsigned int stored = env.GetCRC();
  if (env.SaveMemory(block.data()) != 0) return 1;
  for (const std::string& e : env.Entries()) printf("%s\n", e.c_str());
  printf("# crc 0x%08x %s\n", stored, stored == env.GetCRC() ? "ok" : "BAD");
  return stored == env.GetCRC() ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "make") == 0) return Make(argv[2], argc - 3, argv + 3);
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "print") == 0)
    return Print(argv[2], argc == 4 ? static_cast<unsigned int>(strtoul(argv[3], nullptr, 16)) : 0);
  Usage();
  return 2;
}
