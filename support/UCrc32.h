// CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320), as the boot loader's environment
// block, gzip members and the .img header use it.
#pragma once

// The standard reflected CRC-32 table of polynomial 0xEDB88320.
extern const unsigned int crc_table[256];

// Running CRC-32: start from 0; chaining over consecutive pieces gives the CRC of the whole.
// crc32(c, b, n) == ~crc32_no_comp(~c, b, n).
unsigned int crc32(unsigned int crc, const unsigned char* buf, unsigned int len);
// The bare table-driven register update, without the pre- and post-inversion.
unsigned int crc32_no_comp(unsigned int crc, const unsigned char* buf, unsigned int len);
