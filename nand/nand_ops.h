// The NAND tools as one table: the script engine reaches them only through it, so a test can put
// a recording stand-in in their place without building the engine a second time.
#pragma once

#include "flash_erase.h"
#include "nand_write.h"  // kRecordOobSize, the record format of the OOB entry points

struct nand_ops {
  int (*erase)(const char* device, int start, int count);
  FlashBlockState (*erase_state)(const char* device, long long eb);
  int (*dump_mem)(char* buffer, int start, int length, const char* device);
  int (*dump_mem_oob)(char* buffer, int start, int length, const char* device);
  int (*dump_file_oob)(const char* dumpfile, int start, int length, const char* device);
  int (*write_file)(const char* img, const char* device, unsigned int start, unsigned int length);
  int (*write_file_oob)(const char* img, const char* device, unsigned int start, unsigned int length);
  int (*write_mem)(const unsigned char* buffer, unsigned int size, const char* device, unsigned int start,
                   unsigned int length);
};

// Installs ops (null restores this folder's tools, installed unless a test replaced them) and
// returns the table that was installed before.
const nand_ops* nand_install(const nand_ops* ops);
const nand_ops& nand();
