// Boot environment block: layout as the boot loader reads it, lookup and change rules, CRC. The
// setenv line's whole effect on flash, under faults, is the campaign's (test_campaign.cpp).
#include <errno.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EnvUtil.h"
#include "UCrc32.h"
#include "child.h"
#include "flash_oracle.h"
#include "sim_kernel.h"

using testutil::ChildResult;
using testutil::RunChild;

namespace {

const unsigned int S = EnvUtil::kBlockSize;
const unsigned int D = S - 4;
typedef std::vector<std::string> Entries;

// The oracle's block, made without the product's routines.
std::string Block(const Entries& entries) { return oracle::EnvBlock(entries, S); }

// The block saved by env, "" when refused.
std::string Save(EnvUtil& env) {
  std::string out(S, '\x5a');
  return env.SaveMemory(&out[0]) == 0 ? out : "";
}

// An environment loaded from the given bytes at /dev/mtdblock4 of a simulated chip.
struct Env {
  sim::Chip chip;
  sim::Kernel k;
  explicit Env(const std::string& bytes, unsigned int size = S) {
    memcpy(chip.data(0x3C0000), bytes.data(), bytes.size());
    k.add_block("/dev/mtdblock4", &chip, 0x3C0000, size);
  }
};

}  // namespace

TEST(Crc32, MatchesTheBitwiseDefinitionAtEveryAlignmentAndLength) {
  EXPECT_EQ(0xCBF43926u, crc32(0, reinterpret_cast<const unsigned char*>("123456789"), 9));
  std::vector<unsigned char> buf(128 + 8);
  for (size_t i = 0; i < buf.size(); i++) buf[i] = static_cast<unsigned char>(i * 37 + 11);
  for (size_t align = 0; align < 8; align++) {
    for (unsigned int len = 0; len <= 128; len++) {
      const unsigned char* p = buf.data() + align;
      const unsigned int want = oracle::Crc32(p, len), cut = len / 3;
      ASSERT_EQ(want, crc32(0, p, len)) << align << " " << len;
      // Chaining two pieces gives the CRC of the whole, wherever the cut falls.
      ASSERT_EQ(want, crc32(crc32(0, p, cut), p + cut, len - cut)) << align << " " << len;
      ASSERT_EQ(want, ~crc32_no_comp(~0u, p, len));
    }
  }
}

TEST(EnvUtilBlock, LookupRules) {
  const std::string block = Block({"image=1", "empty=", "opaque", "n1=12abc", "n2=abc", "n3= -3",
                                   "big=99999999999", "neg=-99999999999", "dup=first", "dup=second",
                                   "bootargs=console=ttyS0,115200 root=/dev/mtdblock2"});
  Env e(block);
  EnvUtil env("/dev/mtdblock4", S);
  ASSERT_TRUE(env.IsLoaded());
  EXPECT_EQ(oracle::Crc32(reinterpret_cast<const unsigned char*>(block.data()) + 4, D), env.GetCRC());
  EXPECT_TRUE(Save(env) == block) << "saved block differs from the loaded one";
  const struct {
    const char* key;
    int has, number;
    const char* value;
  } cases[] = {
      {"image", 1, 1, "1"},
      {"empty", 1, 0, nullptr},
      // An entry without "=" never matches, not even its whole text.
      {"opaque", 0, 0, nullptr},
      {"imag", 0, 0, nullptr},
      {"image=1", 0, 0, nullptr},
      {"Image", 0, 0, nullptr},
      {"n1", 1, 12, "12abc"},
      {"n2", 1, 0, "abc"},
      {"n3", 1, -3, " -3"},
      {"big", 1, INT_MAX, "99999999999"},
      {"neg", 1, INT_MIN, "-99999999999"},
      {"missing", 0, 0, nullptr},
      {"dup", 1, 0, "first"},
      // The value may itself hold "=".
      {"bootargs", 1, 0, "console=ttyS0,115200 root=/dev/mtdblock2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(c.has, env.HasKey(c.key));
    EXPECT_EQ(c.number, env.GetIntValue(c.key));
    if (c.value)
      EXPECT_STREQ(c.value, env.GetKeyValue(c.key));
    else
      EXPECT_EQ(nullptr, env.GetKeyValue(c.key));
  }
}

TEST(EnvUtilBlock, SetReplacesTheFirstMatchInPlaceOrAppends) {
  Env e(Block({"dup=first", "opaque", "image=1", "dup=second"}));
  EnvUtil env("/dev/mtdblock4", S);
  env.SetKeyValue("dup", "new");
  env.SetKeyValue("image", "2");
  env.SetKeyValue("fresh", "x");
  env.SetKeyValue("a=b", "c");  // a key holding "=" can never match: always appended
  env.SetKeyValue("a=b", "d");
  EXPECT_TRUE(Save(env) ==
              Block({"dup=new", "opaque", "image=2", "dup=second", "fresh=x", "a=b=c", "a=b=d"}));
}

TEST(EnvUtilBlock, ParseEdges) {
  std::string unended = Block({"a=1"}), full = Block({}), empty = Block({});
  // A last string without its NUL inside the data area is not an entry and is not saved.
  memset(&unended[4 + 4], 'x', D - 4);
  // A data area that ends exactly on an entry's NUL keeps that entry.
  memset(&full[4], 'y', D - 1);
  full[4] = 'k';
  full[5] = '=';
  // A data area that starts with NUL is an empty environment: a variable set then is the
  // first entry, where the boot loader finds it, not behind an empty string.
  empty[5] = 'z';
  const struct {
    std::string bytes;
    Entries entries;
    const char* set;  // a value for image before saving; "-": no save
  } cases[] = {
      {unended, {"a=1"}, "2"},
      {full, {"k=" + std::string(D - 3, 'y')}, "-"},
      {empty, {}, "2"},
      {Block({}), {}, nullptr},  // saved as an all-zero data area
      // A short device reads as a zero tail.
      {Block({"a=1", "b=2"}).substr(0, 64), {"a=1", "b=2"}, "-"},
  };
  for (const auto& c : cases) {
    Env e(c.bytes, static_cast<unsigned int>(c.bytes.size()));
    EnvUtil env("/dev/mtdblock4", S);
    EXPECT_TRUE(env.IsLoaded());
    EXPECT_EQ(c.entries, env.Entries());
    if (c.set && *c.set == '-') continue;
    Entries want = c.entries;
    if (c.set) env.SetKeyValue("image", c.set), want.push_back(std::string("image=") + c.set);
    EXPECT_TRUE(Save(env) == Block(want));
  }
}

TEST(EnvUtilBlock, OverfullListIsRefusedAndOutUntouched) {
  Env e(Block({}));
  EnvUtil env("/dev/mtdblock4", S);
  // Entries and NULs plus the closing empty string: exactly the data area fits.
  env.SetKeyValue("k", std::string(D - 4, 'v').c_str());  // "k=" + value + NUL + NUL = D
  EXPECT_TRUE(Save(env) == Block({"k=" + std::string(D - 4, 'v')}));
  env.SetKeyValue("k", std::string(D - 3, 'v').c_str());  // one byte too many
  std::string out(S, '\x5a');
  ChildResult r = RunChild([&] { return env.SaveMemory(&out[0]) == -1 ? 0 : 1; });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("does not fit")) << r.err;
  EXPECT_EQ(-1, env.SaveMemory(&out[0]));
  EXPECT_TRUE(out == std::string(S, '\x5a'));
}

TEST(EnvUtilDevice, OffsetFormReadsTheBlockAtItsOffsetOnTheWholeChip) {
  Env e(Block({"where=first"}) + Block({"where=second"}), 2 * S);
  e.k.add_mtd(0, &e.chip, "nand0");
  {
    EnvUtil env("/dev/mtd0", 0x3C0000 + S, S);
    EXPECT_STREQ("second", env.GetKeyValue("where"));
  }
  EXPECT_EQ(0u, e.k.open_fds());
}

TEST(EnvUtilDevice, MissingOrUnreadableDeviceIsNotLoaded) {
  Env e(Block({"image=1"}));
  ChildResult r = RunChild([&] {
    EnvUtil env("/dev/mtdblock9", S);
    return !env.IsLoaded() && env.HasKey("image") == 0 && env.GetIntValue("image") == 0 &&
                   env.GetKeyValue("image") == nullptr && env.Entries().empty()
               ? 0
               : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
  e.k.fail_reads("/dev/mtdblock4", EIO);
  r = RunChild([&] {
    EnvUtil env("/dev/mtdblock4", S);
    return !env.IsLoaded() && env.Entries().empty() ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.err.find("read fail when init EnvUtil fd=")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" size=131068\n")) << r.err;
  EXPECT_EQ(0u, e.k.open_fds());
}
