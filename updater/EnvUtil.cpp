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

#include "kernel.h"

const unsigned int crc_table[256] = {
    0x00000000U, 0x77073096U, 0xee0e612cU, 0x990951baU, 0x076dc419U, 0x706af48fU,
    0xe963a535U, 0x9e6495a3U, 0x0edb8832U, 0x79dcb8a4U, 0xe0d5e91eU, 0x97d2d988U,
    0x09b64c2bU, 0x7eb17cbdU, 0xe7b82d07U, 0x90bf1d91U, 0x1db71064U, 0x6ab020f2U,
    0xf3b97148U, 0x84be41deU, 0x1adad47dU, 0x6ddde4ebU, 0xf4d4b551U, 0x83d385c7U,
    0x136c9856U, 0x646ba8c0U, 0xfd62f97aU, 0x8a65c9ecU, 0x14015c4fU, 0x63066cd9U,
    0xfa0f3d63U, 0x8d080df5U, 0x3b6e20c8U, 0x4c69105eU, 0xd56041e4U, 0xa2677172U,
    0x3c03e4d1U, 0x4b04d447U, 0xd20d85fdU, 0xa50ab56bU, 0x35b5a8faU, 0x42b2986cU,
    0xdbbbc9d6U, 0xacbcf940U, 0x32d86ce3U, 0x45df5c75U, 0xdcd60dcfU, 0xabd13d59U,
    0x26d930acU, 0x51de003aU, 0xc8d75180U, 0xbfd06116U, 0x21b4f4b5U, 0x56b3c423U,
    0xcfba9599U, 0xb8bda50fU, 0x2802b89eU, 0x5f058808U, 0xc60cd9b2U, 0xb10be924U,
    0x2f6f7c87U, 0x58684c11U, 0xc1611dabU, 0xb6662d3dU, 0x76dc4190U, 0x01db7106U,
    0x98d220bcU, 0xefd5102aU, 0x71b18589U, 0x06b6b51fU, 0x9fbfe4a5U, 0xe8b8d433U,
    0x7807c9a2U, 0x0f00f934U, 0x9609a88eU, 0xe10e9818U, 0x7f6a0dbbU, 0x086d3d2dU,
    0x91646c97U, 0xe6635c01U, 0x6b6b51f4U, 0x1c6c6162U, 0x856530d8U, 0xf262004eU,
    0x6c0695edU, 0x1b01a57bU, 0x8208f4c1U, 0xf50fc457U, 0x65b0d9c6U, 0x12b7e950U,
    0x8bbeb8eaU, 0xfcb9887cU, 0x62dd1ddfU, 0x15da2d49U, 0x8cd37cf3U, 0xfbd44c65U,
    0x4db26158U, 0x3ab551ceU, 0xa3bc0074U, 0xd4bb30e2U, 0x4adfa541U, 0x3dd895d7U,
    0xa4d1c46dU, 0xd3d6f4fbU, 0x4369e96aU, 0x346ed9fcU, 0xad678846U, 0xda60b8d0U,
    0x44042d73U, 0x33031de5U, 0xaa0a4c5fU, 0xdd0d7cc9U, 0x5005713cU, 0x270241aaU,
    0xbe0b1010U, 0xc90c2086U, 0x5768b525U, 0x206f85b3U, 0xb966d409U, 0xce61e49fU,
    0x5edef90eU, 0x29d9c998U, 0xb0d09822U, 0xc7d7a8b4U, 0x59b33d17U, 0x2eb40d81U,
    0xb7bd5c3bU, 0xc0ba6cadU, 0xedb88320U, 0x9abfb3b6U, 0x03b6e20cU, 0x74b1d29aU,
    0xead54739U, 0x9dd277afU, 0x04db2615U, 0x73dc1683U, 0xe3630b12U, 0x94643b84U,
    0x0d6d6a3eU, 0x7a6a5aa8U, 0xe40ecf0bU, 0x9309ff9dU, 0x0a00ae27U, 0x7d079eb1U,
    0xf00f9344U, 0x8708a3d2U, 0x1e01f268U, 0x6906c2feU, 0xf762575dU, 0x806567cbU,
    0x196c3671U, 0x6e6b06e7U, 0xfed41b76U, 0x89d32be0U, 0x10da7a5aU, 0x67dd4accU,
    0xf9b9df6fU, 0x8ebeeff9U, 0x17b7be43U, 0x60b08ed5U, 0xd6d6a3e8U, 0xa1d1937eU,
    0x38d8c2c4U, 0x4fdff252U, 0xd1bb67f1U, 0xa6bc5767U, 0x3fb506ddU, 0x48b2364bU,
    0xd80d2bdaU, 0xaf0a1b4cU, 0x36034af6U, 0x41047a60U, 0xdf60efc3U, 0xa867df55U,
    0x316e8eefU, 0x4669be79U, 0xcb61b38cU, 0xbc66831aU, 0x256fd2a0U, 0x5268e236U,
    0xcc0c7795U, 0xbb0b4703U, 0x220216b9U, 0x5505262fU, 0xc5ba3bbeU, 0xb2bd0b28U,
    0x2bb45a92U, 0x5cb36a04U, 0xc2d7ffa7U, 0xb5d0cf31U, 0x2cd99e8bU, 0x5bdeae1dU,
    0x9b64c2b0U, 0xec63f226U, 0x756aa39cU, 0x026d930aU, 0x9c0906a9U, 0xeb0e363fU,
    0x72076785U, 0x05005713U, 0x95bf4a82U, 0xe2b87a14U, 0x7bb12baeU, 0x0cb61b38U,
    0x92d28e9bU, 0xe5d5be0dU, 0x7cdcefb7U, 0x0bdbdf21U, 0x86d3d2d4U, 0xf1d4e242U,
    0x68ddb3f8U, 0x1fda836eU, 0x81be16cdU, 0xf6b9265bU, 0x6fb077e1U, 0x18b74777U,
    0x88085ae6U, 0xff0f6a70U, 0x66063bcaU, 0x11010b5cU, 0x8f659effU, 0xf862ae69U,
    0x616bffd3U, 0x166ccf45U, 0xa00ae278U, 0xd70dd2eeU, 0x4e048354U, 0x3903b3c2U,
    0xa7672661U, 0xd06016f7U, 0x4969474dU, 0x3e6e77dbU, 0xaed16a4aU, 0xd9d65adcU,
    0x40df0b66U, 0x37d83bf0U, 0xa9bcae53U, 0xdebb9ec5U, 0x47b2cf7fU, 0x30b5ffe9U,
    0xbdbdf21cU, 0xcabac28aU, 0x53b39330U, 0x24b4a3a6U, 0xbad03605U, 0xcdd70693U,
    0x54de5729U, 0x23d967bfU, 0xb3667a2eU, 0xc4614ab8U, 0x5d681b02U, 0x2a6f2b94U,
    0xb40bbe37U, 0xc30c8ea1U, 0x5a05df1bU, 0x2d02ef8dU,
};

namespace {

inline unsigned int CrcByte(unsigned int c, unsigned char b) {
  return crc_table[(c ^ b) & 0xFFU] ^ (c >> 8);
}

// Four byte steps with zero bytes after the word has been XORed into the register: the same
// as four byte steps with the word's bytes, least-significant first.
inline unsigned int CrcWord(unsigned int c, const unsigned char* p) {
  uint32_t w;
  memcpy(&w, p, sizeof w);  // p is 4-byte aligned here, so this is one aligned load
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);  // the register takes the bytes in stream order
#endif
  c ^= w;
  c = crc_table[c & 0xFFU] ^ (c >> 8);
  c = crc_table[c & 0xFFU] ^ (c >> 8);
  c = crc_table[c & 0xFFU] ^ (c >> 8);
  c = crc_table[c & 0xFFU] ^ (c >> 8);
  return c;
}

// Reads until len bytes arrived or the end of the device: a block device or pipe may hand
// over less than asked in one call, and a partly read block would lose variables on save.
ssize_t ReadFull(int fd, unsigned char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = k_read(fd, buf + got, len - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

}  // namespace

unsigned int crc32_no_comp(unsigned int crc, const unsigned char* buf, unsigned int len) {
  if (!buf) return crc;
  while (len > 0 && (reinterpret_cast<uintptr_t>(buf) & 3U) != 0) {
    crc = CrcByte(crc, *buf++);
    len--;
  }
  while (len >= 8) {
    crc = CrcWord(crc, buf);
    crc = CrcWord(crc, buf + 4);
    buf += 8;
    len -= 8;
  }
  if (len >= 4) {
    crc = CrcWord(crc, buf);
    buf += 4;
    len -= 4;
  }
  while (len > 0) {
    crc = CrcByte(crc, *buf++);
    len--;
  }
  return crc;
}

unsigned int crc32(unsigned int crc, const unsigned char* buf, unsigned int len) {
  return ~crc32_no_comp(~crc, buf, len);
}

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
  ssize_t n = ReadFull(m_fd, crc, sizeof crc);
  // The CRC word is little-endian on flash whatever the host is.
  m_uCrc = static_cast<unsigned int>(crc[0]) | (static_cast<unsigned int>(crc[1]) << 8) |
           (static_cast<unsigned int>(crc[2]) << 16) | (static_cast<unsigned int>(crc[3]) << 24);
  // A failed CRC read leaves the position on the CRC word, so the data read would be shifted.
  if (n >= 0) n = ReadFull(m_fd, m_pBuffer, data_size);
  if (n < 0) {
    fprintf(stderr, "read fail when init EnvUtil fd=%d, buff=%x size=%d\n", m_fd,
            static_cast<unsigned int>(reinterpret_cast<uintptr_t>(m_pBuffer)),
            static_cast<int>(data_size));
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
