// A simulated board for the script engine and the driver: one NAND chip as "/dev/mtd0", the
// working directory /tmp/update (inside the private /tmp of RunIsolated), and helpers for
// files and boot environment blocks.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim_kernel.h"

namespace bench {

const char kDir[] = "/tmp/update";
const uint32_t kEb = 0x20000;
const uint32_t kEnvSize = 0x20000;

inline sim::Geometry Geometry(uint32_t page = 2048, uint64_t size = 16ull << 20) {
  sim::Geometry g;
  g.page_size = page;
  g.size = size;
  return g;
}

struct Board {
  sim::Chip chip;
  sim::Kernel kernel;
  explicit Board(const sim::Geometry& g = Geometry()) : chip(g) {
    kernel.add_mtd(0, &chip, "nand0");
    mkdir(kDir, 0755);
  }
};

inline void Put(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

inline std::string Get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Bytes that differ from page to page and block to block, never all 0xFF.
inline std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 2048) & 0x7F);
  return s;
}

// Bit by bit, independent of the product's table-driven routine.
inline uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

// A well-formed block: CRC word (LSB first), entries each ended by NUL, zero fill.
inline std::string EnvBlock(const std::vector<std::string>& entries) {
  std::string b(kEnvSize, '\0');
  size_t at = 4;
  for (const std::string& e : entries) {
    b.replace(at, e.size(), e);
    at += e.size() + 1;
  }
  uint32_t crc = Crc32(reinterpret_cast<const uint8_t*>(b.data()) + 4, kEnvSize - 4);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return b;
}

// "" when block is well formed and holds exactly entries; else what is wrong.
inline std::string CheckEnv(const std::string& b, const std::vector<std::string>& entries) {
  if (b.size() != kEnvSize) return "size " + std::to_string(b.size());
  uint32_t stored = 0;
  for (int i = 0; i < 4; ++i) stored |= static_cast<uint32_t>(static_cast<uint8_t>(b[i])) << (8 * i);
  if (stored != Crc32(reinterpret_cast<const uint8_t*>(b.data()) + 4, kEnvSize - 4))
    return "CRC does not match";
  if (b != EnvBlock(entries)) return "entries or fill differ";
  return "";
}

inline void Program(sim::Chip& chip, uint64_t at, const std::string& data) {
  chip.program(at, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

inline std::string Read(sim::Chip& chip, uint64_t at, size_t n) {
  return std::string(reinterpret_cast<const char*>(chip.data(at)), n);
}

}  // namespace bench
