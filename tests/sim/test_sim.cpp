#include <gtest/gtest.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include "sim_kernel.h"
TEST(Smoke, Basic) {
  sim::Chip chip;
  sim::Kernel k;
  k.add_mtd(0, &chip, "all");
  int fd = k_open("/dev/mtd0", O_RDWR);
  ASSERT_GE(fd, 0);
  mtd_info_user info;
  ASSERT_EQ(0, k_ioctl(fd, MEMGETINFO, &info));
  EXPECT_EQ(2048u, info.writesize);
  char buf[2048];
  memset(buf, 0, sizeof buf);
  EXPECT_EQ(2048, k_write(fd, buf, 2048));
  EXPECT_EQ(0, k_close(fd));
  EXPECT_EQ(0, chip.data(0)[0]);
  EXPECT_EQ("dev:    size   erasesize  name\nmtd0: 00800000 00020000 \"all\"\n", k.proc_mtd());
}
