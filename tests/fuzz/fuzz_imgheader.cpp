// Image package headers: the name field must come out as a plain file name or be refused.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "Staging.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string name;
  int rc = ParseImgHeader(data, size, name);
  if (rc == 0) {
    // The name becomes a path below the working directory.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        name.find('\0') != std::string::npos || name.size() > 36)
      abort();
  } else if (rc != -1 || !name.empty()) {
    abort();
  }
  if (size < kImgHeaderSize && rc == 0) abort();
  return 0;
}
