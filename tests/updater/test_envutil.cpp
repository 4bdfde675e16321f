// Boot environment block: layout as the boot loader reads it, lookup and change rules, CRC.
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
using testutil::TempDir;
using testutil::WriteAll;

namespace {

const unsigned int S = EnvUtil::kBlockSize;
const unsigned int D = S - 4;

// The oracle's block and CRC, made without the product's routines.
std::string MakeBlock(const std::vector<std::string>& entries) { return oracle::EnvBlock(entries, S); }
unsigned int RefCrc(const unsigned char* p, size_t n) { return oracle::Crc32(p, n); }

std::string Save(EnvUtil& env) {
  std::string out(S, '\x5a');
  EXPECT_EQ(0, env.SaveMemory(&out[0]));
  return out;
}

struct EnvFile {
  TempDir dir;
  std::string path = dir.file("env");
  explicit EnvFile(const std::string& contents) { WriteAll(path, contents); }
};

}  // namespace

TEST(Crc32, MatchesTheBitwiseDefinitionAtEveryAlignmentAndLength) {
  EXPECT_EQ(0xCBF43926u, crc32(0, reinterpret_cast<const unsigned char*>("123456789"), 9));
  EXPECT_EQ(0u, crc32(0, reinterpret_cast<const unsigned char*>(""), 0));
  std::vector<unsigned char> buf(128 + 8);
  for (size_t i = 0; i < buf.size(); i++) buf[i] = static_cast<unsigned char>(i * 37 + 11);
  for (size_t align = 0; align < 8; align++) {
    for (size_t len = 0; len <= 128; len++) {
      const unsigned char* p = buf.data() + align;
      unsigned int want = RefCrc(p, len);
      ASSERT_EQ(want, crc32(0, p, static_cast<unsigned int>(len))) << align << " " << len;
      // Chaining two pieces gives the CRC of the whole, wherever the cut falls.
      size_t cut = len / 3;
      unsigned int c = crc32(0, p, static_cast<unsigned int>(cut));
      ASSERT_EQ(want, crc32(c, p + cut, static_cast<unsigned int>(len - cut))) << align << " " << len;
      ASSERT_EQ(want, ~crc32_no_comp(~0u, p, static_cast<unsigned int>(len)));
    }
  }
}

TEST(EnvUtilBlock, WellFormedBlockSavesBackByteForByte) {
  std::string block =
      MakeBlock({"bootdelay=3", "image=1", "bootargs=console=ttyS0,115200 root=/dev/mtdblock2",
                 "ethaddr=00:11:22:33:44:55"});
  EnvFile f(block);
  EnvUtil env(f.path.c_str(), S);
  ASSERT_TRUE(env.IsLoaded());
  ASSERT_EQ(4u, env.Entries().size());
  EXPECT_EQ(RefCrc(reinterpret_cast<const unsigned char*>(block.data()) + 4, D), env.GetCRC());
  std::string out = Save(env);
  EXPECT_TRUE(out == block) << "saved block differs from the loaded one";
  // The value may itself hold "=".
  EXPECT_STREQ("console=ttyS0,115200 root=/dev/mtdblock2", env.GetKeyValue("bootargs"));
}

TEST(EnvUtilBlock, LookupRules) {
  EnvFile f(MakeBlock({"image=1", "empty=", "opaque", "n1=12abc", "n2=abc", "n3= -3", "big=99999999999",
                       "neg=-99999999999", "dup=first", "dup=second"}));
  EnvUtil env(f.path.c_str(), S);
  EXPECT_EQ(1, env.HasKey("image"));
  EXPECT_EQ(1, env.GetIntValue("image"));
  EXPECT_STREQ("1", env.GetKeyValue("image"));
  EXPECT_EQ(1, env.HasKey("empty"));
  EXPECT_EQ(nullptr, env.GetKeyValue("empty"));
  EXPECT_EQ(0, env.GetIntValue("empty"));
  // An entry without "=" never matches, not even its whole text.
  EXPECT_EQ(0, env.HasKey("opaque"));
  EXPECT_EQ(0, env.HasKey("imag"));
  EXPECT_EQ(0, env.HasKey("image=1"));
  EXPECT_EQ(0, env.HasKey("Image"));
  EXPECT_EQ(12, env.GetIntValue("n1"));
  EXPECT_EQ(0, env.GetIntValue("n2"));
  EXPECT_EQ(-3, env.GetIntValue("n3"));
  EXPECT_EQ(INT_MAX, env.GetIntValue("big"));
  EXPECT_EQ(INT_MIN, env.GetIntValue("neg"));
  EXPECT_EQ(0, env.GetIntValue("missing"));
  EXPECT_STREQ("first", env.GetKeyValue("dup"));
}

TEST(EnvUtilBlock, SetReplacesTheFirstMatchInPlaceOrAppends) {
  EnvFile f(MakeBlock({"dup=first", "opaque", "image=1", "dup=second"}));
  EnvUtil env(f.path.c_str(), S);
  env.SetKeyValue("dup", "new");
  env.SetKeyValue("image", "2");
  env.SetKeyValue("fresh", "x");
  env.SetKeyValue("a=b", "c");  // a key holding "=" can never match: always appended
  env.SetKeyValue("a=b", "d");
  std::vector<std::string> want = {"dup=new", "opaque", "image=2", "dup=second", "fresh=x", "a=b=c", "a=b=d"};
  EXPECT_EQ(want, env.Entries());
  std::string out = Save(env);
  EXPECT_TRUE(out == MakeBlock(want));
}

TEST(EnvUtilBlock, ParseEdges) {
  // A last string without its NUL inside the data area is not an entry and is not saved.
  std::string block = MakeBlock({"a=1"});
  memset(&block[4 + 4], 'x', D - 4);
  {
    EnvFile f(block);
    EnvUtil env(f.path.c_str(), S);
    EXPECT_EQ(std::vector<std::string>{"a=1"}, env.Entries());
  }
  // A data area that ends exactly on an entry's NUL keeps that entry.
  block = MakeBlock({});
  memset(&block[4], 'y', D - 1);
  block[4] = 'k';
  block[5] = '=';
  {
    EnvFile f(block);
    EnvUtil env(f.path.c_str(), S);
    ASSERT_EQ(1u, env.Entries().size());
    EXPECT_EQ(D - 1, env.Entries()[0].size());
  }
  // A data area that starts with NUL is an empty environment: a variable set then is the
  // first entry, where the boot loader finds it, not behind an empty string.
  block = MakeBlock({});
  block[5] = 'z';
  {
    EnvFile f(block);
    EnvUtil env(f.path.c_str(), S);
    EXPECT_TRUE(env.Entries().empty());
    env.SetKeyValue("image", "2");
    EXPECT_TRUE(Save(env) == MakeBlock({"image=2"}));
  }
  // An empty list saves as an all-zero data area.
  {
    EnvFile f(MakeBlock({}));
    EnvUtil env(f.path.c_str(), S);
    std::string out = Save(env);
    EXPECT_TRUE(out == MakeBlock({}));
  }
}

TEST(EnvUtilBlock, ShortDeviceReadsAsZeroTail) {
  std::string block = MakeBlock({"a=1", "b=2"}).substr(0, 64);
  EnvFile f(block);
  EnvUtil env(f.path.c_str(), S);
  EXPECT_TRUE(env.IsLoaded());
  EXPECT_EQ((std::vector<std::string>{"a=1", "b=2"}), env.Entries());
}

TEST(EnvUtilBlock, OverfullListIsRefusedAndOutUntouched) {
  EnvFile f(MakeBlock({}));
  EnvUtil env(f.path.c_str(), S);
  // Entries and NULs plus the closing empty string: exactly the data area fits.
  env.SetKeyValue("k", std::string(D - 4, 'v').c_str());  // "k=" + value + NUL + NUL = D
  std::string out(S, '\x5a');
  EXPECT_EQ(0, env.SaveMemory(&out[0]));
  env.SetKeyValue("k", std::string(D - 3, 'v').c_str());  // one byte too many
  std::string out2(S, '\x5a');
  ChildResult r = RunChild([&] { return env.SaveMemory(&out2[0]) == -1 ? 0 : 1; });
  EXPECT_EQ(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("does not fit")) << r.err;
  EXPECT_EQ(-1, env.SaveMemory(&out2[0]));
  EXPECT_TRUE(out2 == std::string(S, '\x5a'));
}

TEST(EnvUtilBlock, OffsetFormReadsTheBlockAtItsOffset) {
  std::string dev = MakeBlock({"where=first"}) + MakeBlock({"where=second"});
  EnvFile f(dev);
  EnvUtil env(f.path.c_str(), S, S);
  EXPECT_STREQ("second", env.GetKeyValue("where"));
}

TEST(EnvUtilDevice, MissingDeviceIsNotLoadedAndSilent) {
  TempDir dir;
  std::string path = dir.file("absent");
  ChildResult r = RunChild([&] {
    EnvUtil env(path.c_str(), S);
    return (!env.IsLoaded() && env.HasKey("image") == 0 && env.GetIntValue("image") == 0 &&
            env.GetKeyValue("image") == nullptr && env.Entries().empty())
               ? 0
               : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ("", r.out + r.err);
}

TEST(EnvUtilDevice, ReadFailureIsReportedAndNotLoaded) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_block("/dev/mtdblock4", &chip, 0x3C0000, S);
  k.fail_reads("/dev/mtdblock4", EIO);
  ChildResult r = RunChild([&] {
    EnvUtil env("/dev/mtdblock4", S);
    return !env.IsLoaded() && env.Entries().empty() ? 0 : 1;
  });
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(0u, r.err.find("read fail when init EnvUtil fd=")) << r.err;
  EXPECT_NE(std::string::npos, r.err.find(" size=131068\n")) << r.err;
  EXPECT_EQ(0u, k.open_fds());
}

TEST(EnvUtilDevice, BlockDeviceViewOfTheChip) {
  sim::Chip chip;
  sim::Kernel k;
  std::string block = MakeBlock({"image=1", "bootcmd=run nand_boot"});
  memcpy(chip.data(0x3C0000), block.data(), S);
  k.add_block("/dev/mtdblock4", &chip, 0x3C0000, S);
  {
    EnvUtil env("/dev/mtdblock4", S);
    EXPECT_TRUE(env.IsLoaded());
    EXPECT_EQ(1, env.GetIntValue("image"));
  }
  EXPECT_EQ(0u, k.open_fds());
  // The whole chip at a byte offset, as the setenv command reads it.
  k.add_mtd(0, &chip, "nand0");
  EnvUtil env("/dev/mtd0", 0x3C0000, S);
  EXPECT_STREQ("run nand_boot", env.GetKeyValue("bootcmd"));
}
