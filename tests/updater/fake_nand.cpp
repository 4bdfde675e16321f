#include "fake_nand.h"

#include <stdio.h>
#include <stdio_ext.h>
#include <string.h>

#include "child.h"
#include "nand_ops.h"

namespace fakenand {

sim::Chip* chip = nullptr;
std::vector<Op> ops;
int dump_result = 0;

std::string Trace() {
  std::string t;
  for (const Op& op : ops) t += (t.empty() ? "" : " ") + op.name;
  return t;
}

namespace {

uint32_t Page() { return chip->geometry().page_size; }

// Pages of data from start, the last one padded with 0xFF; OOB of 32 bytes per page when
// given, as the real writer takes it.
void Program(unsigned int start, const std::string& src, bool oob) {
  const uint32_t page = Page();
  const size_t record = page + (oob ? 32 : 0);
  uint64_t at = start;
  for (size_t pos = 0; pos < src.size() && at < chip->geometry().size; pos += record, at += page) {
    std::string rec = src.substr(pos, record);
    rec.resize(record, '\xff');
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(rec.data());
    chip->program_page(at / page, 0, bytes, page, oob ? bytes + page : nullptr, 0, oob ? 32 : 0);
  }
}

Op& Note(const char* name, const char* device, long long start, long long length) {
  Op op;
  op.name = name;
  op.device = device ? device : "";
  op.start = start;
  op.length = length;
  op.pending = __fpending(stdout);
  ops.push_back(op);
  return ops.back();
}

}  // namespace

}  // namespace fakenand

using namespace fakenand;

namespace {
std::vector<FlashBlockState> states;

int Erase(const char* device, int start, int count) {
  Note("erase", device, start, count);
  const uint32_t eb = chip->geometry().eb_size;
  uint32_t first = static_cast<uint32_t>(static_cast<unsigned int>(start) / eb);
  uint32_t n = count == 0 ? chip->block_count() - first : static_cast<uint32_t>(count);
  states.assign(chip->block_count(), kBlockNotReached);
  for (uint32_t i = first; i < first + n && i < chip->block_count(); ++i)
    states[i] = chip->is_bad(i) ? kBlockBad : chip->erase(i) == 0 ? kBlockErased : kBlockEraseFailed;
  return 0;
}

FlashBlockState EraseState(const char*, long long eb) {
  return eb >= 0 && static_cast<size_t>(eb) < states.size() ? states[static_cast<size_t>(eb)]
                                                            : kBlockNotReached;
}

int DumpMem(char* buffer, int start, int length, const char* device) {
  Note("dump_mem", device, start, length);
  const uint32_t page = Page();
  // Whole pages, as the real reader delivers them.
  uint64_t bytes = (static_cast<uint64_t>(length) + page - 1) / page * page;
  const uint64_t s = static_cast<unsigned int>(start);
  if (s >= chip->geometry().size) return 0;
  if (s + bytes > chip->geometry().size) bytes = chip->geometry().size - s;
  memcpy(buffer, chip->data(s), bytes);
  return 0;
}

int DumpMemOob(char*, int start, int length, const char* device) {
  Note("dump_mem_oob", device, start, length);
  return 0;
}

int DumpFileOob(const char* dumpfile, int start, int length, const char* device) {
  Note("dump_oob_file", device, start, length).path = dumpfile;
  if (dump_result != 0) return dump_result;
  const uint32_t page = Page();
  std::string out;
  for (uint64_t at = static_cast<unsigned int>(start);
       at < static_cast<unsigned int>(start) + static_cast<uint64_t>(length) && at < chip->geometry().size;
       at += page) {
    out.append(reinterpret_cast<const char*>(chip->data(at)), page);
    out.append(reinterpret_cast<const char*>(chip->oob(at / page)), 32);
  }
  testutil::WriteAll(dumpfile, out);
  return 0;
}

int WriteFileOob(const char* img, const char* device, unsigned int start, unsigned int length) {
  Op& op = Note("write_oob_file", device, start, length);
  op.path = img;
  op.data = testutil::ReadAll(img);
  Program(start, op.data, true);
  return 0;
}

int WriteFile(const char* img, const char* device, unsigned int start, unsigned int length) {
  Op& op = Note("write_file", device, start, length);
  op.path = img;
  op.data = testutil::ReadAll(img);
  Program(start, op.data, false);
  return 0;
}

int WriteMem(const unsigned char* buffer, unsigned int size, const char* device, unsigned int start,
             unsigned int length) {
  Op& op = Note("write_mem", device, start, length);
  op.data.assign(reinterpret_cast<const char*>(buffer), size);
  Program(start, op.data, false);
  return 0;
}

const nand_ops kFake = {Erase,       EraseState, DumpMem,      DumpMemOob,
                        DumpFileOob, WriteFile,  WriteFileOob, WriteMem};

}  // namespace

void fakenand::Reset(sim::Chip* c) {
  chip = c;
  ops.clear();
  dump_result = 0;
  nand_install(&kFake);
}
