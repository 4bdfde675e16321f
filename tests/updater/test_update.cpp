// Whole updates through the real NAND operations and MTD layer on a simulated board: the
// chip as "/dev/mtd0", the boot environment partition as "/dev/mtdblock4", the package
// already unpacked in a private /tmp/update. Each run is a forked child, as the NAND
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
#include "Driver.h"
#include "EnvUtil.h"
#include "bench.h"
#include "child.h"
#include "private_ns.h"

using bench::Board;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const uint64_t kEnvAt = 0x3C0000;
const uint32_t kPage = 2048;

typedef std::function<int(Board&)> Hook;

// The board: partitions as the kernel lists them, the environment block behind
// /dev/mtdblock4, the files of the package; then fwapply /tmp/update.
ChildResult Update(const std::vector<std::string>& env,
                   const std::vector<std::pair<std::string, std::string>>& files,
                   const Hook& before = nullptr, const Hook& after = nullptr,
                   const sim::Geometry& g = bench::Geometry()) {
  return RunIsolated([&]() -> int {
    Board b(g);
    b.kernel.add_mtd(1, &b.chip, "u-boot", 0, 0x200000);
    b.kernel.add_mtd(2, &b.chip, "kernel", 0x200000, 0x1C0000);
    b.kernel.add_mtd(4, &b.chip, "u-boot-env", kEnvAt, bench::kEnvSize);
    b.kernel.add_block("/dev/mtdblock4", &b.chip, kEnvAt, bench::kEnvSize);
    bench::Program(b.chip, kEnvAt, bench::EnvBlock(env));
    for (const auto& f : files) bench::Put(std::string(bench::kDir) + "/" + f.first, f.second);
    if (before && before(b) != 0) return 1;
    char arg0[] = "fwapply", arg1[] = "/tmp/update";
    char* argv[] = {arg0, arg1, nullptr};
    int rc = FwApplyMain(2, argv);
    fflush(stdout);
    if (after && after(b) != 0) return 1;
    return rc & 0xFF;
  });
}

std::string BlockLine(unsigned block) {
  char line[96];
  snprintf(line, sizeof line, "Writing data to block %u at offset 0x%x\n", block,
           block * bench::kEb);
  return line;
}

}  // namespace

TEST(WholeUpdate, RoadOfOneUpdate) {
  // Three eraseblocks, the last one partly filled.
  const std::string image = bench::Pattern(2 * bench::kEb + 5 * kPage + 100, 9);
  const std::vector<std::string> env = {"bootdelay=1", "image=1", "bootcmd=nand read 0 200000",
                                        "opaque"};
  ChildResult r = Update(
      env,
      {{"fwupdate_1", "write 200000 1c0000 kernel.img\nsetenv 3c0000 20000 image 2\n"},
       {"kernel.img", image}},
      [](Board& b) {
        // An old image in the kernel partition, to be erased first.
        b.chip.fill(0x200000, 0x1C0000, 0x5A);
        return 0;
      },
      [&](Board& b) {
        CHILD_CHECK(bench::Read(b.chip, 0x200000, image.size()) == image);
        // The rest of the last page is padding; the rest of the range is erased.
        const uint64_t end = 0x200000 + image.size();
        const uint64_t page_end = (end + kPage - 1) / kPage * kPage;
        CHILD_CHECK(bench::Read(b.chip, end, page_end - end) == std::string(page_end - end, '\xff'));
        CHILD_CHECK(b.chip.is_erased(page_end, 0x3C0000 - page_end));
        CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
        const std::vector<std::string> now = {"bootdelay=1", "image=2",
                                              "bootcmd=nand read 0 200000", "opaque"};
        CHILD_CHECK_EQ(std::string(),
                       bench::CheckEnv(bench::Read(b.chip, kEnvAt, bench::kEnvSize), now));
        // The boot loader's view of the partition sees the new slot.
        EnvUtil e("/dev/mtdblock4", bench::kEnvSize);
        CHILD_CHECK_EQ(2, e.GetIntValue("image"));
        // Nothing outside the two ranges was erased.
        for (uint32_t eb : b.chip.erased_blocks) CHILD_CHECK(eb >= 16 && eb <= 30);
        return 0;
      });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_EQ("Checking fwupdate_1 \nTotal Block to Write = 4\n" + BlockLine(16) + BlockLine(17) +
                BlockLine(18) + BlockLine(30) + "finish\n",
            r.out);
  EXPECT_EQ("", r.err);
}

TEST(WholeUpdate, BudgetMatchesTheBlockLinesOfWriteLines) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"fwupdate_1",
       "write 0 20000 a.bin\nwrite 100000 60000 b.bin\nwrite 200000 20000 c.bin\n"
       "write 300000 100000 d.bin\n"},
      {"a.bin", bench::Pattern(bench::kEb, 1)},
      {"b.bin", bench::Pattern(bench::kEb + 1, 2)},
      {"c.bin", bench::Pattern(1, 3)},
      {"d.bin", bench::Pattern(4 * bench::kEb - 1, 4)}};
  ChildResult r = Update({"image=1"}, files, nullptr, [](Board& b) {
    CHILD_CHECK(bench::Read(b.chip, 0x300000, 4 * bench::kEb - 1) ==
                bench::Pattern(4 * bench::kEb - 1, 4));
    return 0;
  });
  SKIP_IF_NOT_ISOLATED(r);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  int lines = 0;
  for (size_t p = r.out.find("Writing data to block"); p != std::string::npos;
       p = r.out.find("Writing data to block", p + 1))
    ++lines;
  EXPECT_EQ(1 + 2 + 1 + 4, lines);
  EXPECT_EQ(0u, r.out.find("Checking fwupdate_1 \nTotal Block to Write = 8\n")) << r.out;
}

TEST(WholeUpdate, PagesLargerThanTheCheckedBytes) {
  for (uint32_t page : {4096u, 8192u}) {
    const std::string image = bench::Pattern(bench::kEb + 3 * page, page);
    ChildResult r = Update(
        {"image=1"}, {{"fwupdate_1", "write 200000 40000 k.bin\n"}, {"k.bin", image}},
        nullptr,
        [&](Board& b) {
          CHILD_CHECK(bench::Read(b.chip, 0x200000, image.size()) == image);
          return 0;
        },
        bench::Geometry(page));
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << page << r.out << r.err;
    EXPECT_EQ("Checking fwupdate_1 \nTotal Block to Write = 2\n" + BlockLine(16) + BlockLine(17) +
                  "finish\n",
              r.out);
  }
}

// Lines that cannot be carried out as asked: each says so naming its line, changes nothing it
// had not already had to erase, and stops the run (the erase of block 100 after it never runs).
// Lines that can be carried out despite a fault do so, and the run goes on.
TEST(WholeUpdate, EachLineStoresWhatItAskedOrStopsHavingChangedNothing) {
  struct Row {
    const char* line;
    const char* said;         // on standard error after "<line>: "; "" when the line must work
    bool untouched;           // refused before its erase: the whole chip as it was
    std::function<void(Board&)> fault = nullptr;
    std::function<int(Board&)> check = nullptr;
  };
  const std::string kImage = bench::Pattern(bench::kEb, 4);
  auto env_is = [](const std::vector<std::string>& want) {
    return [want](Board& b) {
      CHILD_CHECK_EQ(std::string(), bench::CheckEnv(bench::Read(b.chip, kEnvAt, bench::kEnvSize), want));
      return 0;
    };
  };
  const std::vector<Row> rows = {
      {"setenv 3c0800 20000 image 2", "start 0x3c0800 is not on an eraseblock boundary", true},
      {"write 210000 20000 k.bin", "start 0x210000 is not on an eraseblock boundary", true},
      {"write 400000 -20000 k.bin", "range is outside the chip", true},
      {"dupoob 200000 20000 20000 ff0000", "range is outside the chip", true},
      {"writeoob 200000 40000 odd.oob", "/tmp/update/odd.oob is not a whole number of 2080-byte records", true},
      {"writeoob 200000 20000 big.oob", "/tmp/update/big.oob does not fit into the range", true},
      {"write 200000 20000 dir", "/tmp/update/dir is not a regular file", true},
      {"write 200000 20000 fifo", "/tmp/update/fifo is not a regular file", true},
      {"write 200000 20000 link", "/tmp/update/link is not a regular file", true},
      {"setenv 3c0000 20000 image=2 x", "variable name holds \"=\"", true},
      {"setenv 400000 20000 image 2", "boot environment at 0x400000 fails its CRC, left unchanged", true},
      {"setenv 420000 20000 image 2", "boot environment at 0x420000 fails its CRC, left unchanged", true},
      // The chip cannot be opened: the erase and the line say why, the run stops before the flash.
      {"write 200000 40000 k.bin", "block at 0x200000 did not erase, nothing written", false,
       [](Board& b) { b.kernel.fail_open("/dev/mtd0", EACCES); }},
      // A block the data never reaches may fail its erase.
      {"setenv 3c0000 40000 image 2", "", false, [](Board& b) { b.chip.fail_erase(31, EIO, -1); },
       env_is({"a=1", "image=2"})},
      {"write 200000 80000 k.bin", "", false, [](Board& b) { b.chip.fail_erase(19, EIO, -1); },
       [&](Board& b) {
         CHILD_CHECK(bench::Read(b.chip, 0x200000, kImage.size()) == kImage);
         return 0;
       }},
      // Its first block bad, the environment is the one in the next good block.
      {"setenv 3c0000 40000 image 2", "", false,
       [](Board& b) {
         b.chip.mark_bad(30);
         bench::Program(b.chip, 0x3E0000, bench::EnvBlock({"b=2", "image=1"}));
       },
       [](Board& b) {
         CHILD_CHECK_EQ(std::string(),
                        bench::CheckEnv(bench::Read(b.chip, 0x3E0000, bench::kEnvSize), {"b=2", "image=2"}));
         return 0;
       }},
      {"setenv 3c0000 20000 bootargs console=ttyS0,115200 root=/dev/mtdblock3", "", false, nullptr,
       env_is({"a=1", "image=1", "bootargs=console=ttyS0,115200 root=/dev/mtdblock3"})},
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
    static std::vector<uint8_t> before;
    ChildResult r = Update(
        {"a=1", "image=1"},
        {{"fwupdate_1", std::string(row.line) + "\nerase c80000 20000\n"},
         {"k.bin", kImage},
         {"odd.oob", std::string(2081, 'o')},
         {"big.oob", std::string(65 * 2080, 'o')}},
        [&](Board& b) {
          mkdir("/tmp/update/dir", 0755);
          mkfifo("/tmp/update/fifo", 0644);
          symlink("k.bin", "/tmp/update/link");
          b.chip.fill(0xC80000, bench::kEb, 0x00);
          b.chip.fill(0x200000, 0x80000, 0x5A);
          std::string corrupt = bench::EnvBlock({"image=1"});
          corrupt[9] ^= 1;
          bench::Program(b.chip, 0x420000, corrupt);
          if (row.fault) row.fault(b);
          before.assign(b.chip.data(0), b.chip.data(0) + b.chip.geometry().size);
          return 0;
        },
        [&](Board& b) {
          CHILD_CHECK_EQ(0u, static_cast<unsigned>(b.chip.violations()));
          const bool stopped = *row.said != '\0';
          CHILD_CHECK_EQ(stopped, !b.chip.is_erased(0xC80000, bench::kEb));
          if (row.untouched) CHILD_CHECK(memcmp(before.data(), b.chip.data(0), before.size()) == 0);
          return row.check ? row.check(b) : 0;
        });
    SKIP_IF_NOT_ISOLATED(r);
    EXPECT_EQ(0, r.status) << r.out << r.err;
    EXPECT_EQ("finish\n", r.out.substr(r.out.size() - 7));
    if (*row.said) {
      EXPECT_NE(std::string::npos, r.err.find(std::string(row.line) + ": " + row.said + "\n")) << r.err;
    }
  }
}
