// Integrity of a gzip file before anything of it is unpacked: every member is inflated here and
// its CRC-32 and length compared with its trailer, so no decompression library is needed.
#pragma once

// Reads the open file fd from its first byte. 0 when it starts with one or more gzip members and
// each of them inflates to the CRC-32 and length its trailer records; *end then holds the offset
// just past the last member (bytes after it, such as an image file's four final bytes, belong to
// no member). -1 when the data is not gzip, is cut short or corrupt, or cannot be read.
int GzipCheck(int fd, long long* end);
