#include "nand_ops.h"

#include "nand_dump.h"
#include "nand_write.h"

namespace {

// The writer's two no-OOB entry points share a name; the table needs each one by its type.
int WriteFile(const char* img, const char* device, unsigned int start, unsigned int length) {
  return nand_write_no_oob(img, device, start, length);
}

int WriteMem(const unsigned char* buffer, unsigned int size, const char* device, unsigned int start,
             unsigned int length) {
  return nand_write_no_oob(buffer, size, device, start, length);
}

const nand_ops kTools = {
    flash_erase,        flash_erase_state, nand_dump_to_mem_nooob, nand_dump_to_mem_with_oob,
    nand_dump_with_oob, WriteFile,         nand_write_with_oob,    WriteMem,
};

const nand_ops* g_nand = &kTools;

}  // namespace

const nand_ops* nand_install(const nand_ops* ops) {
  const nand_ops* before = g_nand;
  g_nand = ops ? ops : &kTools;
  return before;
}

const nand_ops& nand() { return *g_nand; }
