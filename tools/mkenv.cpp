// fwenv: builds a boot environment block from name=value arguments, or prints one from a
// file or device, in the layout the boot loader and fwapply share.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "EnvUtil.h"
#include "UCrc32.h"

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

// The block as the boot loader judges it: the CRC over the whole stored data area, whatever
// follows the closing empty string, and the entries up to that empty string. Read-only, so a
// write-protected device or a file of someone else's can be shown too.
int Print(const char* path, unsigned int offset) {
  std::vector<unsigned char> block(EnvUtil::kBlockSize);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  size_t got = 0;
  while (fd >= 0 && got < block.size()) {
    const ssize_t n = pread(fd, block.data() + got, block.size() - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (fd >= 0) close(fd);
  if (got < block.size()) {
    fprintf(stderr, "fwenv: cannot read a 0x%x-byte block from %s at 0x%x\n", EnvUtil::kBlockSize, path,
            offset);
    return 1;
  }
  const unsigned int stored = static_cast<unsigned int>(block[0]) | static_cast<unsigned int>(block[1]) << 8 |
                              static_cast<unsigned int>(block[2]) << 16 |
                              static_cast<unsigned int>(block[3]) << 24;
  const unsigned int actual = crc32(0, block.data() + 4, EnvUtil::kBlockSize - 4);
  const char* data = reinterpret_cast<const char*>(block.data()) + 4;
  const char* const end = reinterpret_cast<const char*>(block.data()) + block.size();
  // An entry without its NUL inside the data area is none.
  for (const char* e = data; e < end && *e && memchr(e, 0, static_cast<size_t>(end - e)); e += strlen(e) + 1)
    printf("%s\n", e);
  printf("# crc 0x%08x %s\n", stored, stored == actual ? "ok" : "BAD");
  return stored == actual ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && strcmp(argv[1], "make") == 0) return Make(argv[2], argc - 3, argv + 3);
  if ((argc == 3 || argc == 4) && strcmp(argv[1], "print") == 0)
    return Print(argv[2], argc == 4 ? static_cast<unsigned int>(strtoul(argv[3], nullptr, 16)) : 0);
  Usage();
  return 2;
}
