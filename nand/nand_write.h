// NAND image writer: an image file (plain pages, or pages each followed by 32 OOB bytes) or a
// memory buffer is written page by page into a byte range, bad blocks skipped, failed writes moved.
#pragma once

#include <stdint.h>

// The OOB bytes of every record of an image with OOB, after its page: the reader copies them
// out, the writer programs them.
const int kRecordOobSize = 32;

// Every entry point returns 0; any failure ends the process with tool_exit(-1) (status 255).
int nand_write_with_oob(const char* img, const char* device, unsigned int start, unsigned int length);
int nand_write_no_oob(const char* img, const char* device, unsigned int start, unsigned int length);
int nand_write_no_oob(const unsigned char* buffer, unsigned int size, const char* device, unsigned int start,
                      unsigned int length);
