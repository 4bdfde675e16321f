// NAND reader: a byte range of an MTD device is read page by page, bad blocks left out, into memory
// or a file, optionally with each page's 32 OOB bytes.
#pragma once

// 0 on success, -1 when the MTD layer or the device record cannot be had; other failures exit(1).
int nand_dump_to_mem_nooob(char* buffer, int start, int length, const char* device);
int nand_dump_to_mem_with_oob(char* buffer, int start, int length, const char* device);
int nand_dump_nooob(const char* dumpfile, int start, int length, const char* device);
int nand_dump_with_oob(const char* dumpfile, int start, int length, const char* device);
