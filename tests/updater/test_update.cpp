// Whole updates through the real NAND operations and MTD layer on a simulated board: the
// chip as "/dev/mtd0", the boot environment partition as "/dev/mtdblock4", the package
// already unpacked in the working directory. Each run is a forked child, as the NAND
// operations may end the process.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../support/child_check.h"
#include "EnvUtil.h"
#include "board.h"
#include "flash_oracle.h"

using testboard::Board;
using testboard::kEb;
using testboard::kEnvAt;
using testboard::Pattern;
using testutil::ChildResult;

namespace {

const uint32_t kPage = 2048;

typedef std::function<int(Board&)> Hook;

// The board: partitions as the kernel lists them, the environment block behind
// /dev/mtdblock4, the files of the package; then fwapply on the package.
ChildResult Update(const std::vector<std::string>& env,
                   const std::vector<std::pair<std::string, std::string>>& files,
                   const Hook& before = nullptr, const Hook& after = nullptr,
                   const sim::Geometry& g = testboard::Geometry()) {
  return testboard::OnBoard(
      [&](Board& b) -> int {
        b.kernel.add_mtd(1, &b.chip, "u-boot", 0, 0x200000);
        b.kernel.add_mtd(2, &b.chip, "kernel", 0x200000, 0x1C0000);
        b.kernel.add_mtd(4, &b.chip, "u-boot-env", kEnvAt, testboard::kEnvSize);
        b.add_env(env);
        for (const auto& f : files) b.put(f.first, f.second);
        if (before && before(b) != 0) return 1;
        const int rc = testboard::Apply(b);
        if (after && after(b) != 0) return 1;
        return rc;
      },
      g);
}

std::string BlockLines(std::vector<unsigned> blocks) {
  std::string out;
  for (unsigned block : blocks) {
    char line[96];
    snprintf(line, sizeof line, "Writing data to block %u at offset 0x%x\n", block, block * kEb);
    out += line;
  }
  return out;
}

}  // namespace

TEST(WholeUpdate, RoadOfOneUpdate) {
  // Three eraseblocks, the last one partly filled.
  const std::string image = Pattern(2 * kEb + 5 * kPage + 100, 9);
  ChildResult r = Update(
      {"bootdelay=1", "image=1", "bootcmd=nand read 0 200000", "opaque"},
      {{"fwupdate_1", "write 200000 1c0000 kernel.img\nsetenv 3c0000 20000 image 2\n"},
       {"kernel.img", image}},
      [](Board& b) {
        b.chip.fill(0x200000, 0x1C0000, 0x5A);  // an old image in the kernel partition, to be erased first
        return 0;
      },
      [&](Board& b) {
        CHILD_CHECK(b.read(0x200000, image.size()) == image);
        // The rest of the last page is padding; the rest of the range is erased.
        const uint64_t end = 0x200000 + image.size();
        const uint64_t page_end = (end + kPage - 1) / kPage * kPage;
        CHILD_CHECK(b.read(end, page_end - end) == std::string(page_end - end, '\xff'));
        CHILD_CHECK(b.chip.is_erased(page_end, 0x3C0000 - page_end));
        CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
        CHILD_CHECK(b.env_is(kEnvAt, {"bootdelay=1", "image=2", "bootcmd=nand read 0 200000", "opaque"}));
        // The boot loader's view of the partition sees the new slot.
        EnvUtil e("/dev/mtdblock4", testboard::kEnvSize);
        CHILD_CHECK_EQ(2, e.GetIntValue("image"));
        for (uint32_t eb : b.chip.erased_blocks) CHILD_CHECK(eb >= 16 && eb <= 30);  // nothing else erased
        return 0;
      });
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("Checking fwupdate_1 \nTotal Block to Write = 4\n" + BlockLines({16, 17, 18, 30}) + "finish\n",
            r.out);
  EXPECT_EQ("", r.err);
}

TEST(WholeUpdate, BudgetMatchesTheBlockLinesWhateverThePageSize) {
  const struct {
    uint32_t page;
    std::string script;
    std::vector<size_t> sizes;
    std::string out;
  } cases[] = {
      {2048,
       "write 0 20000 0.bin\nwrite 100000 60000 1.bin\nwrite 200000 20000 2.bin\nwrite 300000 100000 3.bin\n",
       {kEb, kEb + 1, 1, 4 * kEb - 1},
       "Total Block to Write = 8\n" + BlockLines({0, 8, 9, 16, 24, 25, 26, 27})},
      // Pages larger than the bytes the erase check looks at.
      {4096,
       "write 200000 40000 0.bin\n",
       {kEb + 3 * 4096},
       "Total Block to Write = 2\n" + BlockLines({16, 17})},
      {8192,
       "write 200000 40000 0.bin\n",
       {kEb + 3 * 8192},
       "Total Block to Write = 2\n" + BlockLines({16, 17})},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<std::string, std::string>> files = {{"fwupdate_1", c.script}};
    for (size_t i = 0; i < c.sizes.size(); ++i)
      files.push_back({std::to_string(i) + ".bin", Pattern(c.sizes[i], c.page + i)});
    ChildResult r = Update(
        {"image=1"}, files, nullptr,
        [&](Board& b) {
          const std::string& last = files.back().second;
          const size_t at = c.script.rfind("write ") + 6;
          CHILD_CHECK(b.read(strtoull(c.script.c_str() + at, nullptr, 16), last.size()) == last);
          return 0;
        },
        testboard::Geometry(c.page));
    EXPECT_EQ(0, r.status) << c.page << r.out << r.err;
    EXPECT_EQ("Checking fwupdate_1 \n" + c.out + "finish\n", r.out);
  }
}

// Lines that cannot be carried out as asked: each says so naming its line, changes nothing it
// had not already had to erase, and stops the run (the erase of block 100 after it never runs).
// Lines that can be carried out despite a fault do so, and the run goes on.
TEST(WholeUpdate, EachLineStoresWhatItAskedOrStopsHavingChangedNothing) {
  struct Row {
    const char* line;
    const char* said;  // on standard error after "<line>: "; "" when the line must work
    bool untouched;    // refused before its erase: the whole chip as it was
    std::function<void(Board&)> fault = nullptr;
    std::function<int(Board&)> check = nullptr;
  };
  const std::string kImage = Pattern(kEb, 4);
  auto env_is = [](uint64_t at, const std::vector<std::string>& want) {
    return [at, want](Board& b) {
      CHILD_CHECK(b.env_is(at, want));
      return 0;
    };
  };
  const std::vector<Row> rows = {
      {"setenv 3c0800 20000 image 2", "start 0x3c0800 is not on an eraseblock boundary", true},
      {"write 210000 20000 k.bin", "start 0x210000 is not on an eraseblock boundary", true},
      {"write 400000 -20000 k.bin", "range is outside the chip", true},
      {"dupoob 200000 20000 20000 ff0000", "range is outside the chip", true},
      {"writeoob 200000 40000 odd.oob", "<board>/update/odd.oob is not a whole number of 2080-byte records",
       true},
      {"writeoob 200000 20000 big.oob", "<board>/update/big.oob does not fit into the range", true},
      {"write 200000 20000 dir", "<board>/update/dir is not a regular file", true},
      {"write 200000 20000 fifo", "<board>/update/fifo is not a regular file", true},
      {"write 200000 20000 link", "<board>/update/link is not a regular file", true},
      {"setenv 3c0000 20000 image=2 x", "variable name holds \"=\"", true},
      {"setenv 400000 20000 image 2", "boot environment at 0x400000 fails its CRC, left unchanged", true},
      {"setenv 420000 20000 image 2", "boot environment at 0x420000 fails its CRC, left unchanged", true},
      // The chip cannot be opened: the erase and the line say why, the run stops before the flash.
      {"write 200000 40000 k.bin", "block at 0x200000 did not erase, nothing written", false,
       [](Board& b) { b.kernel.fail_open("/dev/mtd0", EACCES); }},
      // A block the data never reaches may fail its erase.
      {"setenv 3c0000 40000 image 2", "", false, [](Board& b) { b.chip.fail_erase(31, EIO, -1); },
       env_is(kEnvAt, {"a=1", "image=2"})},
      {"write 200000 80000 k.bin", "", false, [](Board& b) { b.chip.fail_erase(19, EIO, -1); },
       [&](Board& b) {
         CHILD_CHECK(b.read(0x200000, kImage.size()) == kImage);
         return 0;
       }},
      // Its first block bad, the environment is the one in the next good block.
      {"setenv 3c0000 40000 image 2", "", false,
       [](Board& b) {
         b.chip.mark_bad(30);
         b.program(0x3E0000, oracle::EnvBlock({"b=2", "image=1"}));
       },
       env_is(0x3E0000, {"b=2", "image=2"})},
      {"setenv 3c0000 20000 bootargs console=ttyS0,115200 root=/dev/mtdblock3", "", false, nullptr,
       env_is(kEnvAt, {"a=1", "image=1", "bootargs=console=ttyS0,115200 root=/dev/mtdblock3"})},
      // The erase gave up at its first bad-block query: the range only looks blank at its start.
      {"write 200000 40000 k.bin", "block at 0x200000 did not erase, nothing written", false,
       [](Board& b) {
         b.chip.bb_supported = false;
         b.chip.fill(0x200000, 0x800, 0xFF);
       },
       [](Board& b) {
         CHILD_CHECK(b.chip.is_erased(0x200000, 0x800));
         return 0;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    static oracle::ChipState before;
    ChildResult r = Update(
        {"a=1", "image=1"},
        {{"fwupdate_1", std::string(row.line) + "\nerase c80000 20000\n"},
         {"k.bin", kImage},
         {"odd.oob", std::string(2081, 'o')},
         {"big.oob", std::string(65 * 2080, 'o')}},
        [&](Board& b) {
          mkdir(b.path("dir").c_str(), 0755);
          mkfifo(b.path("fifo").c_str(), 0644);
          if (symlink("k.bin", b.path("link").c_str()) != 0) return 1;
          b.chip.fill(0xC80000, kEb, 0x00);
          b.chip.fill(0x200000, 0x80000, 0x5A);
          std::string corrupt = oracle::EnvBlock({"image=1"});
          corrupt[9] ^= 1;
          b.program(0x420000, corrupt);
          if (row.fault) row.fault(b);
          oracle::Capture(b.chip, &before);
          return 0;
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
          const bool stopped = *row.said != '\0';
          CHILD_CHECK_EQ(stopped, !b.chip.is_erased(0xC80000, kEb));
          if (row.untouched) CHILD_CHECK(memcmp(before.data.data(), b.chip.data(0), before.data.size()) == 0);
          return row.check ? row.check(b) : 0;
        });
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("finish\n", r.out.substr(r.out.size() - 7));
    EXPECT_TRUE(!*row.said || testboard::HasLine(r.err, std::string(row.line) + ": " + row.said)) << r.err;
  }
}
