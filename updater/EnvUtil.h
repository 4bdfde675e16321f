// Boot environment block: the boot loader's CRC-protected list of name=value variables.
//
// Block of S bytes: a CRC-32 word of the data area, least-significant byte first, then the
// data area of S - 4 bytes holding NUL-terminated entries, closed by an empty string and
// zero-filled to the end. The boot loader reads this layout, so it must stay exact.
//
// EnvUtil only reads the device; SaveMemory produces the new block in the caller's buffer and
// the caller erases and programs the flash.
#pragma once

#include <string>
#include <vector>

class EnvUtil {
 public:
  // Size of the block that every caller uses.
  static const unsigned int kBlockSize = 0x20000;

  // Opens path read-write and loads the block of size bytes from its start.
  EnvUtil(const char* path, unsigned int size);
  // Same, from byte offset of path.
  EnvUtil(const char* path, unsigned int offset, unsigned int size);
  virtual ~EnvUtil();

  EnvUtil(const EnvUtil&) = delete;
  EnvUtil& operator=(const EnvUtil&) = delete;

  // True when the device opened and the block was read; false when the object holds nothing
  // from the device (then saving it would replace the whole environment, so callers that
  // write the block back must check this first).
  bool IsLoaded() const;
  // True when the block was loaded and its stored CRC word matches its data area. Before
  // SaveMemory only: saving replaces the word. A blank (erased) block never matches.
  bool CrcMatches() const;

  // 1 when some entry's name (text before its first '=') equals key exactly, else 0.
  int HasKey(const char* key);
  // Value of the first matching entry; null when there is none or it is empty. Valid until
  // the next GetKeyValue on this object.
  char* GetKeyValue(const char* key);
  // The value as a base-10 number in the manner of strtol, clamped to the int range; 0 when
  // the key is missing, empty or not a number.
  int GetIntValue(const char* key);
  // Replaces the first matching entry in place, or appends key=value. Always 0.
  int SetKeyValue(const char* key, const char* value);
  // Writes the whole new block of S bytes into out (which must hold S bytes) and keeps the
  // new CRC. Returns 0; -1 (message on stderr, out untouched) when the entries with their
  // NULs and the closing empty string do not fit the data area, or S is too small for a block.
  int SaveMemory(char* out);
  // CRC-32 of a buffer, independent of the object.
  unsigned int CalculateCRC(unsigned char* data, unsigned int length);

  // Entries in block order (for tools and tests).
  const std::vector<std::string>& Entries() const { return m_listEntry; }
  // CRC word as read from the block, or as computed by the last SaveMemory.
  unsigned int GetCRC() const { return m_uCrc; }

 private:
  void Load(const char* path, bool seek, unsigned int offset);
  void Parse();
  // Index of the first entry named key, or -1.
  int Find(const char* key) const;

  std::vector<std::string> m_listEntry;
  std::string m_sValue;
  unsigned char* m_pBuffer;
  int m_fd;
  unsigned int m_uSize;
  unsigned int m_uCrc;
};
