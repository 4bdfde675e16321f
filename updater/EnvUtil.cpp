#include "EnvUtil.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "UCrc32.h"
#include "kernel.h"

EnvUtil::EnvUtil(const char* path, unsigned int size)
    : m_pBuffer(nullptr), m_fd(-1), m_uSize(size), m_uCrc(0) {
  Load(path, false, 0);
}

EnvUtil::EnvUtil(const char* path, unsigned int offset, unsigned int size)
    : m_pBuffer(nullptr), m_fd(-1), m_uSize(size), m_uCrc(0) {
  Load(path, true, offset);
}

EnvUtil::~EnvUtil() {
  if (m_fd >= 0) k_close(m_fd);
  delete[] m_pBuffer;
}

void EnvUtil::Load(const char* path, bool seek, unsigned int offset) {
  if (!path) return;
  m_fd = k_open(path, O_RDWR);
  if (m_fd < 0) return;
  if (m_uSize < 4) return;  // no room for a CRC word: nothing to load
  if (seek && k_lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    // Reading from the old position would load, and later rewrite, another block.
    fprintf(stderr, "seek fail when init EnvUtil fd=%d, offset=0x%x\n", m_fd, offset);
    k_close(m_fd);
    m_fd = -1;
    return;
  }
  const unsigned int data_size = m_uSize - 4;
  // Zeroed so that a short read leaves a tail that ends the list instead of stale bytes.
  m_pBuffer = new (std::nothrow) unsigned char[m_uSize]();
  if (!m_pBuffer) return;
  unsigned char crc[4] = {0, 0, 0, 0};
  ssize_t n = k_read_full(m_fd, crc, sizeof crc);
  // The CRC word is little-endian on flash whatever the host is.
  m_uCrc = static_cast<unsigned int>(crc[0]) | (static_cast<unsigned int>(crc[1]) << 8) |
           (static_cast<unsigned int>(crc[2]) << 16) | (static_cast<unsigned int>(crc[3]) << 24);
  // A failed CRC read leaves the position on the CRC word, so the data read would be shifted.
  if (n >= 0) n = k_read_full(m_fd, m_pBuffer, data_size);
  if (n < 0) {
    fprintf(stderr, "read fail when init EnvUtil fd=%d, buff=%x size=%d\n", m_fd,
            static_cast<unsigned int>(reinterpret_cast<uintptr_t>(m_pBuffer)), static_cast<int>(data_size));
    k_close(m_fd);
    m_fd = -1;
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
    return;
  }
  Parse();
}

bool EnvUtil::IsLoaded() const { return m_fd >= 0 && m_pBuffer != nullptr; }

bool EnvUtil::CrcMatches() const {
  return IsLoaded() && m_uSize >= 4 && crc32(0, m_pBuffer, m_uSize - 4) == m_uCrc;
}

void EnvUtil::Parse() {
  if (!m_pBuffer || m_uSize < 4) return;
  const unsigned int data_size = m_uSize - 4;
  // A data area that begins with NUL is an empty environment for the boot loader; taking it
  // as one empty entry would put every variable set later behind a leading NUL, where the
  // boot loader never looks.
  if (data_size == 0 || m_pBuffer[0] == 0) return;
  unsigned int start = 0;
  while (start < data_size) {
    const void* nul = memchr(m_pBuffer + start, 0, data_size - start);
    // A last string without its NUL inside the data area is not an entry.
    if (!nul) return;
    const unsigned int end = static_cast<unsigned int>(static_cast<const unsigned char*>(nul) - m_pBuffer);
    m_listEntry.emplace_back(reinterpret_cast<const char*>(m_pBuffer + start), end - start);
    start = end + 1;
    if (start == data_size || m_pBuffer[start] == 0) return;
  }
}

int EnvUtil::Find(const char* key) const {
  if (!key) return -1;
  const size_t klen = strlen(key);
  for (size_t i = 0; i < m_listEntry.size(); i++) {
    const std::string& e = m_listEntry[i];
    size_t eq = e.find('=');
    if (eq == std::string::npos) continue;
    if (eq == klen && e.compare(0, eq, key) == 0) return static_cast<int>(i);
  }
  return -1;
}

int EnvUtil::HasKey(const char* key) { return Find(key) >= 0 ? 1 : 0; }

char* EnvUtil::GetKeyValue(const char* key) {
  m_sValue.clear();
  int i = Find(key);
  if (i >= 0) {
    const std::string& e = m_listEntry[static_cast<size_t>(i)];
    m_sValue.assign(e, e.find('=') + 1, std::string::npos);
  }
  return m_sValue.empty() ? nullptr : &m_sValue[0];
}

int EnvUtil::GetIntValue(const char* key) {
  if (!HasKey(key)) return 0;
  const char* v = GetKeyValue(key);
  if (!v) return 0;
  // strtoll and a clamp: long is 32-bit on the board and 64-bit on the host, and both must
  // give the same answer.
  long long n = strtoll(v, nullptr, 10);
  if (n > INT_MAX) return INT_MAX;
  if (n < INT_MIN) return INT_MIN;
  return static_cast<int>(n);
}

int EnvUtil::SetKeyValue(const char* key, const char* value) {
  if (!key) return 0;
  std::string entry(key);
  entry += '=';
  if (value) entry += value;
  int i = Find(key);
  if (i >= 0)
    m_listEntry[static_cast<size_t>(i)] = entry;
  else
    m_listEntry.push_back(entry);
  return 0;
}

int EnvUtil::SaveMemory(char* out) {
  if (!out) return -1;
  if (m_uSize < 4) {
    fprintf(stderr, "EnvUtil: block size %u cannot hold an environment, not saved\n", m_uSize);
    return -1;
  }
  const unsigned int data_size = m_uSize - 4;
  // Every entry with its NUL, plus the closing empty string, must fit the data area.
  unsigned long long need = 1;
  for (const std::string& e : m_listEntry) need += e.size() + 1;
  if (need > data_size) {
    fprintf(stderr, "EnvUtil: environment of %llu bytes does not fit the %u-byte data area, not saved\n",
            need, data_size);
    return -1;
  }
  unsigned char* data = reinterpret_cast<unsigned char*>(out) + 4;
  memset(out, 0, m_uSize);
  size_t pos = 0;
  for (const std::string& e : m_listEntry) {
    memcpy(data + pos, e.data(), e.size());
    pos += e.size() + 1;  // the NUL is already there
  }
  m_uCrc = crc32(0, data, data_size);
  out[0] = static_cast<char>(m_uCrc & 0xFFU);
  out[1] = static_cast<char>((m_uCrc >> 8) & 0xFFU);
  out[2] = static_cast<char>((m_uCrc >> 16) & 0xFFU);
  out[3] = static_cast<char>((m_uCrc >> 24) & 0xFFU);
  return 0;
}

unsigned int EnvUtil::CalculateCRC(unsigned char* data, unsigned int length) {
  return crc32(0, data, length);
}
