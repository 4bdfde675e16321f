// MTD access layer: discovery of MTD devices and their geometry (sysfs or "/proc/mtd"),
// and the eraseblock, page and OOB operations on an MTD character device.
#pragma once

#include <stdint.h>

struct libmtd;
typedef struct libmtd* libmtd_t;

struct mtd_info {
  int mtd_dev_cnt;
  int lowest_mtd_num;
  int highest_mtd_num;
  unsigned int sysfs_supported : 1;
};

#define MTD_TYPE_MAX 64
#define MTD_NAME_MAX 127

struct mtd_dev_info {
  int mtd_num;
  int major;
  int minor;
  int type;
  char type_str[MTD_TYPE_MAX + 1];
  char name[MTD_NAME_MAX + 1];
  long long size;
  int eb_cnt;
  int eb_size;
  int min_io_size;
  int subpage_size;
  int oob_size;
  int region_cnt;
  unsigned int writable : 1;
  unsigned int bb_allowed : 1;
};

struct region_info_user;

// Discovery and device information.
libmtd_t libmtd_open(void);
void libmtd_close(libmtd_t desc);
int mtd_get_info(libmtd_t desc, struct mtd_info* info);
int mtd_get_dev_info(libmtd_t desc, const char* node, struct mtd_dev_info* mtd);
int mtd_get_dev_info1(libmtd_t desc, int mtd_num, struct mtd_dev_info* mtd);
int mtd_dev_present(libmtd_t desc, int mtd_num);
int mtd_probe_node(libmtd_t desc, const char* node);

// Eraseblock, page and OOB operations.
int mtd_valid_erase_block(const struct mtd_dev_info* mtd, int eb);
int mtd_is_bad(const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_mark_bad(const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_erase(libmtd_t desc, const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_torture(libmtd_t desc, const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_is_locked(const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_lock(const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_unlock(const struct mtd_dev_info* mtd, int fd, int eb);
int mtd_regioninfo(int fd, int regidx, struct region_info_user* reginfo);
int mtd_read(const struct mtd_dev_info* mtd, int fd, int eb, int offs, void* buf, int len);
// Data and/or OOB bytes at (eb, offs) in one MEMWRITE request, programmed in `mode` (the
// request's mode, not the descriptor's file mode). A kernel without MEMWRITE is remembered in
// desc; then OOB bytes go first by MEMWRITEOOB and data by seek and write.
int mtd_write(libmtd_t desc, const struct mtd_dev_info* mtd, int fd, int eb, int offs, void* data, int len,
              void* oob, int ooblen, uint8_t mode);
int mtd_read_oob(libmtd_t desc, const struct mtd_dev_info* mtd, int fd, uint64_t start, uint64_t length,
                 void* data);
int mtd_write_oob(libmtd_t desc, const struct mtd_dev_info* mtd, int fd, uint64_t start, uint64_t length,
                  void* data);
int mtd_write_img(const struct mtd_dev_info* mtd, int fd, int eb, int offs, const char* img_name);
int mtd_ioctl_error(const struct mtd_dev_info* mtd, int eb, const char* sreq);

// Tells whether "/proc/mtd" can be opened (0), or not (-1).
int legacy_libmtd_open(void);
