// Image package headers: the name comes out as a plain file name below the directory, or none.
#include <stdlib.h>

#include <string>

#include "Staging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string n;
  const int rc = ParseImgHeader(data, size, n);
  if (rc == 0 ? n.empty() || n == "." || n == ".." ||
                    n.find_first_of(std::string("/\0", 2)) != std::string::npos || n.size() > 36 ||
                    size < kImgHeaderSize
              : rc != -1 || !n.empty())
    abort();
  return 0;
}
