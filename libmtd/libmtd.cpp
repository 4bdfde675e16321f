// MTD access layer: the handle, discovery through sysfs, and the eraseblock, page and OOB
// operations on an MTD character device.
#include "libmtd.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <mtd/mtd-user.h>

#include "kernel.h"
#include "libmtd_legacy.h"
#include "tool_report.h"

// The request numbers are the board's ABI: a kernel built from other headers would not
// understand us. The records holding a pointer are 4 bytes shorter on the 32-bit board.
static_assert(MEMGETINFO == 0x80204D01, "MEMGETINFO");
static_assert(MEMERASE == 0x40084D02, "MEMERASE");
static_assert(MEMERASE64 == 0x40104D14, "MEMERASE64");
static_assert(MEMGETBADBLOCK == 0x40084D0B, "MEMGETBADBLOCK");
static_assert(MEMSETBADBLOCK == 0x40084D0C, "MEMSETBADBLOCK");
static_assert(MEMREADOOB64 == 0xC0184D16, "MEMREADOOB64");
static_assert(MEMWRITEOOB64 == 0xC0184D15, "MEMWRITEOOB64");
static_assert(MEMWRITE == 0xC0304D18, "MEMWRITE");
static_assert(MEMGETOOBSEL == 0x80C84D0A, "MEMGETOOBSEL");
static_assert(MEMLOCK == 0x40084D05, "MEMLOCK");
static_assert(MEMUNLOCK == 0x40084D06, "MEMUNLOCK");
static_assert(MEMISLOCKED == 0x80084D17, "MEMISLOCKED");
static_assert(MEMGETREGIONINFO == 0xC0104D08, "MEMGETREGIONINFO");
#if __SIZEOF_POINTER__ == 4
static_assert(MEMREADOOB == 0xC00C4D04, "MEMREADOOB");
static_assert(MEMWRITEOOB == 0xC00C4D03, "MEMWRITEOOB");
#else
static_assert(MEMREADOOB == 0xC0104D04, "MEMREADOOB (64-bit pointers)");
static_assert(MEMWRITEOOB == 0xC0104D03, "MEMWRITEOOB (64-bit pointers)");
#endif
static_assert(MTD_WRITEABLE == 0x400, "MTD_WRITEABLE");
static_assert(MTD_NANDFLASH == 4 && MTD_UBIVOLUME == 7, "MTD type codes");
static_assert(MTD_OPS_AUTO_OOB == 1 && MTD_NANDECC_AUTOPLACE == 2, "OOB placement codes");

enum { OFFS64_IOCTLS_UNKNOWN = 0, OFFS64_IOCTLS_NOT_SUPPORTED = 1 };

struct libmtd {
  char* class_dir;
  char* dev_dir_fmt;
  char* dev_fmt;
  char* name_fmt;
  char* type_fmt;
  char* eb_size_fmt;
  char* size_fmt;
  char* min_io_size_fmt;
  char* subpage_size_fmt;
  char* oob_size_fmt;
  char* region_cnt_fmt;
  char* flags_fmt;
  unsigned int sysfs_supported : 1;
  unsigned int offs64_ioctls : 2;
  unsigned int no_memwrite : 1;  // MEMWRITE answered ENOTTY or EOPNOTSUPP: not asked again
};

#define PROGRAM_NAME "libmtd"

// ---------------------------------------------------------------------------------------------
// Messages and memory

int libmtd_errmsg(const char* fmt, ...) {
  int err = errno;
  va_list ap;
  va_start(ap, fmt);
  tool_verrmsg(PROGRAM_NAME, fmt, ap);
  va_end(ap);
  errno = err;
  return -1;
}

int libmtd_sys_errmsg(const char* fmt, ...) {
  int err = errno;
  va_list ap;
  va_start(ap, fmt);
  tool_verrmsg(PROGRAM_NAME, fmt, ap);
  va_end(ap);
  tool_errno_line(PROGRAM_NAME, err);
  errno = err;
  return -1;
}

void libmtd_normsg(const char* fmt, ...) {
  int err = errno;
  va_list ap;
  va_start(ap, fmt);
  printf("%s: ", PROGRAM_NAME);
  vprintf(fmt, ap);
  va_end(ap);
  errno = err;
}

void* xmalloc(size_t size) { return tool_xmalloc(PROGRAM_NAME, size); }

static void* xzalloc(size_t size) {
  void* p = xmalloc(size);
  if (p) memset(p, 0, size);
  return p;
}

static char* mkpath(const char* path, const char* name) {
  size_t len1 = strlen(path), len2 = strlen(name);
  char* n = static_cast<char*>(xmalloc(len1 + len2 + 2));
  memcpy(n, path, len1);
  if (len1 == 0 || n[len1 - 1] != '/') n[len1++] = '/';
  memcpy(n + len1, name, len2 + 1);
  return n;
}

static const char* const type_names[] = {"absent", "ram", "rom", "nor", "nand", nullptr, "dataflash", "ubi"};

const char* mtd_type_name(int type) {
  if (type < 0 || type >= (int)(sizeof(type_names) / sizeof(type_names[0]))) return nullptr;
  return type_names[type];
}

static int type_str2int(const char* str) {
  for (int i = 0; i < (int)(sizeof(type_names) / sizeof(type_names[0])); i++)
    if (type_names[i] && strcmp(type_names[i], str) == 0) return i;
  return -1;
}

// ---------------------------------------------------------------------------------------------
// sysfs attribute files

// Formats a per-device path; the formats are ours and short, so failing is a programming error.
static void dev_path(char* buf, size_t len, const char* fmt, int dev_num) {
  int n = snprintf(buf, len, fmt, dev_num);
  if (n < 0 || (size_t)n >= len) {
    fprintf(stderr, "%s: path format too long: %s\n", PROGRAM_NAME, fmt);
    abort();
  }
}

static int read_data(const char* file, void* buf, int buf_len) {
  KFd fd(k_open(file, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;

  char* p = static_cast<char*>(buf);
  ssize_t rd = k_read(fd.get(), p, buf_len);
  if (rd == -1) return libmtd_sys_errmsg("cannot read \"%s\"\n", file);
  if (rd == buf_len) {
    libmtd_errmsg("contents of \"%s\" is too long\n", file);
    errno = EINVAL;
    return -1;
  }
  p[rd] = '\0';

  char tmp;
  ssize_t more = k_read(fd.get(), &tmp, 1);
  if (more == -1) return libmtd_sys_errmsg("cannot read \"%s\"\n", file);
  if (more) {
    libmtd_errmsg("file \"%s\" contains too much data (> %d bytes)\n", file, buf_len);
    errno = EINVAL;
    return -1;
  }
  if (k_close(fd.release())) return libmtd_sys_errmsg("close failed on \"%s\"\n", file);
  return (int)rd;
}

static int dev_read_data(const char* pattern, int dev_num, void* buf, int buf_len) {
  char file[PATH_MAX];
  dev_path(file, sizeof(file), pattern, dev_num);
  return read_data(file, buf, buf_len);
}

// Reads an attribute holding one number, decimal or hexadecimal; negative values are refused.
// The descriptor is still open when the value is checked, as close comes last.
static int read_num(const char* file, long long* value, bool hex) {
  char buf[50];
  KFd fd(k_open(file, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;

  ssize_t rd = k_read(fd.get(), buf, sizeof(buf));
  if (rd == -1) return libmtd_sys_errmsg("cannot read \"%s\"\n", file);
  if (rd == (ssize_t)sizeof(buf)) {
    libmtd_errmsg("contents of \"%s\" is too long\n", file);
    errno = EINVAL;
    return -1;
  }
  buf[rd] = '\0';

  long long num;
  int conv;
  if (hex) {
    unsigned long long u;
    conv = sscanf(buf, "%llx\n", &u);
    num = (long long)u;
  } else {
    conv = sscanf(buf, "%lld\n", &num);
  }
  if (conv != 1) {
    libmtd_errmsg("cannot read integer from \"%s\"\n\n", file);
    errno = EINVAL;
    return -1;
  }
  if (num < 0) {
    libmtd_errmsg("negative value %lld in \"%s\"\n", num, file);
    errno = EINVAL;
    return -1;
  }
  *value = num;
  if (k_close(fd.release())) return libmtd_sys_errmsg("close failed on \"%s\"\n", file);
  return 0;
}

static int dev_read_pos_ll(const char* pattern, int dev_num, long long* value) {
  char file[PATH_MAX];
  dev_path(file, sizeof(file), pattern, dev_num);
  return read_num(file, value, false);
}

static int to_int(const char* file, long long num, int* value) {
  if (num > INT_MAX) {
    libmtd_errmsg("value %lld read from file \"%s\" is out of range\n", num, file);
    errno = EINVAL;
    return -1;
  }
  *value = (int)num;
  return 0;
}

static int dev_read_pos_int(const char* pattern, int dev_num, int* value) {
  char file[PATH_MAX];
  long long num;
  dev_path(file, sizeof(file), pattern, dev_num);
  if (read_num(file, &num, false)) return -1;
  return to_int(file, num, value);
}

static int dev_read_hex_int(const char* pattern, int dev_num, int* value) {
  char file[PATH_MAX];
  long long num;
  dev_path(file, sizeof(file), pattern, dev_num);
  if (read_num(file, &num, true)) return -1;
  return to_int(file, num, value);
}

static int dev_get_major(libmtd_t lib, int dev_num, int* major, int* minor) {
  char file[PATH_MAX];
  char buf[50];
  dev_path(file, sizeof(file), lib->dev_fmt, dev_num);
  if (read_data(file, buf, sizeof(buf)) < 0) return -1;

  if (sscanf(buf, "%d:%d\n", major, minor) != 2) {
    errno = EINVAL;
    return libmtd_errmsg("\"%s\" does not have major:minor format\n", file);
  }
  if (*major < 0 || *minor < 0) {
    errno = EINVAL;
    return libmtd_errmsg("bad major:minor %d:%d in \"%s\"\n", *major, *minor, file);
  }
  return 0;
}

// "mtd" and a decimal number, nothing after it (mtd3ro is the read-only twin, not a device).
static int mtd_entry_num(const char* name, int* num) {
  char tmp[256];
  return sscanf(name, "mtd%d%s", num, tmp) == 1;
}

// Entry names longer than this cannot be parsed safely into the scratch buffer above.
static int check_entry(const char* dir, const char* name) {
  if (strlen(name) > 254) {
    libmtd_errmsg("invalid entry in %s: \"%s\"\n", dir, name);
    errno = EINVAL;
    return -1;
  }
  return 0;
}

static int sysfs_is_supported(libmtd_t lib) {
  KDir sysfs_mtd(k_opendir(lib->class_dir));
  if (!sysfs_mtd.ok()) {
    if (errno == ENOENT) {
      errno = 0;
      return 0;
    }
    return libmtd_sys_errmsg("cannot open \"%s\"\n", lib->class_dir);
  }

  int num = -1;
  for (;;) {
    const char* name = k_readdir(sysfs_mtd.get());
    if (!name) break;
    if (check_entry(lib->class_dir, name)) return -1;
    int n;
    if (mtd_entry_num(name, &n)) {
      num = n;
      break;
    }
  }

  if (k_closedir(sysfs_mtd.release()))
    return libmtd_sys_errmsg("closedir failed on \"%s\"\n", lib->class_dir);
  if (num == -1) return 0;

  char file[PATH_MAX];
  dev_path(file, sizeof(file), lib->name_fmt, num);
  int fd = k_open(file, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return 0;
  if (k_close(fd)) return libmtd_sys_errmsg("close failed on \"%s\"\n", file);
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Handle and discovery

libmtd_t libmtd_open(void) {
  libmtd_t lib = static_cast<libmtd_t>(xzalloc(sizeof(*lib)));
  lib->offs64_ioctls = OFFS64_IOCTLS_UNKNOWN;

  lib->class_dir = mkpath("/sys", "class/mtd");
  lib->dev_dir_fmt = mkpath(lib->class_dir, "mtd%d");
  lib->name_fmt = mkpath(lib->dev_dir_fmt, "name");

  if (sysfs_is_supported(lib) == 0) {
    free(lib->class_dir);
    free(lib->dev_dir_fmt);
    free(lib->name_fmt);
    lib->class_dir = lib->dev_dir_fmt = lib->name_fmt = nullptr;
    lib->sysfs_supported = 0;
    return lib;
  }

  lib->dev_fmt = mkpath(lib->dev_dir_fmt, "dev");
  lib->type_fmt = mkpath(lib->dev_dir_fmt, "type");
  lib->eb_size_fmt = mkpath(lib->dev_dir_fmt, "erasesize");
  lib->size_fmt = mkpath(lib->dev_dir_fmt, "size");
  lib->min_io_size_fmt = mkpath(lib->dev_dir_fmt, "writesize");
  lib->subpage_size_fmt = mkpath(lib->dev_dir_fmt, "subpagesize");
  lib->oob_size_fmt = mkpath(lib->dev_dir_fmt, "oobsize");
  lib->region_cnt_fmt = mkpath(lib->dev_dir_fmt, "numeraseregions");
  lib->flags_fmt = mkpath(lib->dev_dir_fmt, "flags");
  lib->sysfs_supported = 1;
  return lib;
}

void libmtd_close(libmtd_t lib) {
  if (!lib) return;
  free(lib->flags_fmt);
  free(lib->region_cnt_fmt);
  free(lib->oob_size_fmt);
  free(lib->subpage_size_fmt);
  free(lib->min_io_size_fmt);
  free(lib->size_fmt);
  free(lib->eb_size_fmt);
  free(lib->type_fmt);
  free(lib->name_fmt);
  free(lib->dev_fmt);
  free(lib->dev_dir_fmt);
  free(lib->class_dir);
  free(lib);
}

int mtd_get_info(libmtd_t lib, struct mtd_info* info) {
  memset(info, 0, sizeof(*info));
  if (!lib->sysfs_supported) return legacy_mtd_get_info(info);
  info->sysfs_supported = 1;

  KDir sysfs_mtd(k_opendir(lib->class_dir));
  if (!sysfs_mtd.ok()) {
    if (errno == ENOENT) {
      errno = ENODEV;
      return -1;
    }
    return libmtd_sys_errmsg("cannot open \"%s\"\n", lib->class_dir);
  }

  info->lowest_mtd_num = INT_MAX;
  for (;;) {
    errno = 0;
    const char* name = k_readdir(sysfs_mtd.get());
    if (!name) break;
    if (check_entry(lib->class_dir, name)) return -1;
    int num;
    if (mtd_entry_num(name, &num)) {
      info->mtd_dev_cnt += 1;
      if (num > info->highest_mtd_num) info->highest_mtd_num = num;
      if (num < info->lowest_mtd_num) info->lowest_mtd_num = num;
    }
  }
  if (errno) return libmtd_sys_errmsg("readdir failed on \"%s\"\n", lib->class_dir);

  if (k_closedir(sysfs_mtd.release()))
    return libmtd_sys_errmsg("closedir failed on \"%s\"\n", lib->class_dir);
  if (info->lowest_mtd_num == INT_MAX) info->lowest_mtd_num = 0;
  return 0;
}

int mtd_dev_present(libmtd_t lib, int mtd_num) {
  if (!lib->sysfs_supported) return legacy_dev_present(mtd_num);
  char file[PATH_MAX];
  struct stat st;
  dev_path(file, sizeof(file), lib->dev_dir_fmt, mtd_num);
  return !k_stat(file, &st);
}

// Drops the newline that ends a sysfs text attribute.
static void strip_last(char* buf, int rd) {
  if (rd > 0) buf[rd - 1] = '\0';
}

int mtd_get_dev_info1(libmtd_t lib, int mtd_num, struct mtd_dev_info* mtd) {
  memset(mtd, 0, sizeof(*mtd));
  mtd->mtd_num = mtd_num;

  if (!mtd_dev_present(lib, mtd_num)) {
    errno = ENODEV;
    return -1;
  }
  if (!lib->sysfs_supported) return legacy_get_dev_info1(mtd_num, mtd);

  if (dev_get_major(lib, mtd_num, &mtd->major, &mtd->minor)) return -1;

  int ret = dev_read_data(lib->name_fmt, mtd_num, mtd->name, MTD_NAME_MAX + 1);
  if (ret < 0) return -1;
  strip_last(mtd->name, ret);

  ret = dev_read_data(lib->type_fmt, mtd_num, mtd->type_str, MTD_TYPE_MAX + 1);
  if (ret < 0) return -1;
  strip_last(mtd->type_str, ret);

  int flags;
  if (dev_read_pos_int(lib->eb_size_fmt, mtd_num, &mtd->eb_size)) return -1;
  if (dev_read_pos_ll(lib->size_fmt, mtd_num, &mtd->size)) return -1;
  if (dev_read_pos_int(lib->min_io_size_fmt, mtd_num, &mtd->min_io_size)) return -1;
  if (dev_read_pos_int(lib->subpage_size_fmt, mtd_num, &mtd->subpage_size)) return -1;
  if (dev_read_pos_int(lib->oob_size_fmt, mtd_num, &mtd->oob_size)) return -1;
  if (dev_read_pos_int(lib->region_cnt_fmt, mtd_num, &mtd->region_cnt)) return -1;
  if (dev_read_hex_int(lib->flags_fmt, mtd_num, &flags)) return -1;
  mtd->writable = !!(flags & MTD_WRITEABLE);

  // Every eraseblock and write check divides by these; a kernel never reports 0.
  char file[PATH_MAX];
  if (mtd->eb_size < 1) {
    dev_path(file, sizeof(file), lib->eb_size_fmt, mtd_num);
    errno = EINVAL;
    return libmtd_errmsg("mtd%d (%s) has insane eraseblock size %d\n", mtd_num, file, mtd->eb_size);
  }
  if (mtd->subpage_size < 1) {
    dev_path(file, sizeof(file), lib->subpage_size_fmt, mtd_num);
    errno = EINVAL;
    return libmtd_errmsg("mtd%d (%s) has insane min. I/O unit size %d\n", mtd_num, file, mtd->subpage_size);
  }
  if (mtd->size / mtd->eb_size > INT_MAX) {
    dev_path(file, sizeof(file), lib->size_fmt, mtd_num);
    errno = EINVAL;
    return libmtd_errmsg("mtd%d (%s) has insane size %lld\n", mtd_num, file, mtd->size);
  }
  mtd->eb_cnt = (int)(mtd->size / mtd->eb_size);

  mtd->type = type_str2int(mtd->type_str);
  mtd->bb_allowed = mtd->type == MTD_NANDFLASH;
  return 0;
}

// Visits the devices of the class directory and returns the number of the one whose "dev"
// file names major:minor; -1 with ENOENT-free errno on failure, or with errno 0 when none.
static int sysfs_find_dev(libmtd_t lib, const struct mtd_info* info, int major, int minor) {
  for (int i = info->lowest_mtd_num; i <= info->highest_mtd_num; i++) {
    int mjr, mnr;
    if (dev_get_major(lib, i, &mjr, &mnr)) {
      if (errno == ENOENT) continue;
      if (!errno) errno = ENODEV;
      return -1;
    }
    if (major == mjr && minor == mnr) {
      errno = 0;
      return i;
    }
  }
  errno = 0;
  return -1;
}

// Status of a node that must be a character device.
static int stat_char_node(const char* node, struct stat* st) {
  if (k_stat(node, st)) return libmtd_sys_errmsg("cannot get information about \"%s\"\n", node);
  if (!S_ISCHR(st->st_mode)) {
    errno = EINVAL;
    return libmtd_errmsg("\"%s\" is not a character device\n", node);
  }
  return 0;
}

int mtd_get_dev_info(libmtd_t lib, const char* node, struct mtd_dev_info* mtd) {
  if (!lib->sysfs_supported) return legacy_get_dev_info(node, mtd);

  struct stat st;
  if (stat_char_node(node, &st)) return -1;
  int major = (int)major(st.st_rdev), minor = (int)minor(st.st_rdev);

  struct mtd_info info;
  if (mtd_get_info(lib, &info)) return -1;

  int num = sysfs_find_dev(lib, &info, major, minor);
  if (num >= 0) return mtd_get_dev_info1(lib, num, mtd);
  if (!errno) errno = ENODEV;
  return -1;
}

int mtd_probe_node(libmtd_t lib, const char* node) {
  struct stat st;
  if (stat_char_node(node, &st)) return -1;
  int major = (int)major(st.st_rdev), minor = (int)minor(st.st_rdev);

  struct mtd_info info;
  if (mtd_get_info(lib, &info)) return -1;
  if (!lib->sysfs_supported) return 0;

  return sysfs_find_dev(lib, &info, major, minor) >= 0 ? 1 : -1;
}

// ---------------------------------------------------------------------------------------------
// Eraseblock, page and OOB operations

int mtd_valid_erase_block(const struct mtd_dev_info* mtd, int eb) {
  if (eb < 0 || eb >= mtd->eb_cnt) {
    libmtd_errmsg("bad eraseblock number %d, mtd%d has %d eraseblocks\n", eb, mtd->mtd_num, mtd->eb_cnt);
    errno = EINVAL;
    return -1;
  }
  return 0;
}

int mtd_ioctl_error(const struct mtd_dev_info* mtd, int eb, const char* sreq) {
  return libmtd_sys_errmsg("%s ioctl failed for eraseblock %d (mtd%d)\n", sreq, eb, mtd->mtd_num);
}

static long long eb_start(const struct mtd_dev_info* mtd, int eb) { return (long long)eb * mtd->eb_size; }

int mtd_is_bad(const struct mtd_dev_info* mtd, int fd, int eb) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;
  if (!mtd->bb_allowed) return 0;

  __kernel_loff_t seek = eb_start(mtd, eb);
  int ret = k_ioctl(fd, MEMGETBADBLOCK, &seek);
  if (ret == -1) return mtd_ioctl_error(mtd, eb, "MEMGETBADBLOCK");
  return ret;
}

int mtd_mark_bad(const struct mtd_dev_info* mtd, int fd, int eb) {
  if (!mtd->bb_allowed) {
    errno = EINVAL;
    return -1;
  }
  if (mtd_valid_erase_block(mtd, eb)) return -1;

  __kernel_loff_t seek = eb_start(mtd, eb);
  if (k_ioctl(fd, MEMSETBADBLOCK, &seek) == -1) return mtd_ioctl_error(mtd, eb, "MEMSETBADBLOCK");
  return 0;
}

int mtd_erase(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, int eb) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;

  struct erase_info_user64 ei64;
  memset(&ei64, 0, sizeof(ei64));
  ei64.start = (uint64_t)eb_start(mtd, eb);
  ei64.length = (uint64_t)mtd->eb_size;

  if (lib->offs64_ioctls == OFFS64_IOCTLS_UNKNOWN) {
    if (k_ioctl(fd, MEMERASE64, &ei64) == 0) return 0;
    if (errno != ENOTTY) return mtd_ioctl_error(mtd, eb, "MEMERASE64");
    lib->offs64_ioctls = OFFS64_IOCTLS_NOT_SUPPORTED;
  }

  if (ei64.start + ei64.length > 0xFFFFFFFFu) {
    libmtd_errmsg("this system can address only %u eraseblocks\n", 0xFFFFFFFFu / (unsigned)mtd->eb_size);
    errno = EINVAL;
    return -1;
  }

  struct erase_info_user ei;
  ei.start = (uint32_t)ei64.start;
  ei.length = (uint32_t)ei64.length;
  if (k_ioctl(fd, MEMERASE, &ei) < 0) return mtd_ioctl_error(mtd, eb, "MEMERASE");
  return 0;
}

static int check_offs_len(const struct mtd_dev_info* mtd, int offs, int len, bool neg_len_ok) {
  if (offs < 0 || (long long)offs + len > mtd->eb_size || (len < 0 && !neg_len_ok)) {
    libmtd_errmsg("bad offset %d or length %d, mtd%d eraseblock size is %d\n", offs, len, mtd->mtd_num,
                  mtd->eb_size);
    errno = EINVAL;
    return -1;
  }
  return 0;
}

// The data path addresses the device with a signed 32-bit position. A position past 4 GiB
// would wrap to a small, valid one and touch the wrong eraseblock, so it is refused here.
static int data_pos(const struct mtd_dev_info* mtd, int eb, int offs, int32_t* pos) {
  long long p = eb_start(mtd, eb) + offs;
  if (p > 0xFFFFFFFFll) {
    errno = EINVAL;
    return libmtd_sys_errmsg("cannot seek mtd%d to offset %llu\n", mtd->mtd_num, (unsigned long long)p);
  }
  *pos = (int32_t)(uint32_t)p;
  return 0;
}

static int seek_pos(const struct mtd_dev_info* mtd, int fd, int32_t pos) {
  // A negative position is what the kernel refuses with EINVAL; no need to ask it.
  off_t got;
  if (pos < 0) {
    errno = EINVAL;
    got = -1;
  } else {
    got = k_lseek(fd, pos, SEEK_SET);
  }
  if (got != pos) {
    if (got != -1) errno = EIO;
    return libmtd_sys_errmsg("cannot seek mtd%d to offset %llu\n", mtd->mtd_num,
                             (unsigned long long)(long long)pos);
  }
  return 0;
}

int mtd_read(const struct mtd_dev_info* mtd, int fd, int eb, int offs, void* buf, int len) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;
  if (check_offs_len(mtd, offs, len, true)) return -1;

  int32_t pos = 0;
  if (data_pos(mtd, eb, offs, &pos) || seek_pos(mtd, fd, pos)) return -1;

  char* p = static_cast<char*>(buf);
  int rd = 0;
  while (rd < len) {
    ssize_t ret = k_read(fd, p + rd, (size_t)(len - rd));
    if (ret <= 0) {
      // An end of device inside a checked range: report it instead of looping forever.
      if (ret == 0) errno = EIO;
      return libmtd_sys_errmsg("cannot read %d bytes from mtd%d (eraseblock %d, offset %d)\n", len,
                               mtd->mtd_num, eb, offs);
    }
    rd += (int)ret;
  }
  return 0;
}

static int do_oob_op(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, uint64_t start, uint64_t length,
                     void* data, unsigned int cmd64, unsigned int cmd32, const char* cmd64_str,
                     const char* cmd32_str) {
  uint64_t dev_size = (uint64_t)(int64_t)mtd->eb_cnt * (uint64_t)(int64_t)mtd->eb_size;
  if (start >= dev_size) {
    libmtd_errmsg("bad page address %llu, mtd%d has %d eraseblocks (%llu bytes)\n", (unsigned long long)start,
                  mtd->mtd_num, mtd->eb_cnt, (unsigned long long)dev_size);
    errno = EINVAL;
    return -1;
  }

  uint32_t oob_offs = (uint32_t)start & (uint32_t)(mtd->min_io_size - 1);
  uint64_t oob_size = mtd->oob_size > 0 ? (uint64_t)mtd->oob_size : 0;
  // Written so that a huge length cannot wrap the sum below the OOB size.
  if (length == 0 || length > oob_size || oob_offs > oob_size - length) {
    libmtd_errmsg(
        "Cannot write %llu OOB bytes to address %llu (OOB offset %u) - mtd%d OOB size is "
        "only %d bytes\n",
        (unsigned long long)length, (unsigned long long)start, oob_offs, mtd->mtd_num, mtd->oob_size);
    errno = EINVAL;
    return -1;
  }

  if (lib->offs64_ioctls == OFFS64_IOCTLS_UNKNOWN) {
    struct mtd_oob_buf64 oob64;
    memset(&oob64, 0, sizeof(oob64));
    oob64.start = start;
    oob64.length = (uint32_t)length;
    oob64.usr_ptr = (uint64_t)(uintptr_t)data;
    if (k_ioctl(fd, cmd64, &oob64) == 0) return 0;
    if (errno != ENOTTY)
      libmtd_sys_errmsg("%s ioctl failed for mtd%d, offset %llu (eraseblock %llu)\n", cmd64_str, mtd->mtd_num,
                        (unsigned long long)start, (unsigned long long)(start / (uint64_t)mtd->eb_size));
    lib->offs64_ioctls = OFFS64_IOCTLS_NOT_SUPPORTED;
  }

  if (start > 0xFFFFFFFFull) {
    libmtd_errmsg("this system can address only up to address %lu\n", 0xFFFFFFFFUL);
    errno = EINVAL;
    return -1;
  }

  struct mtd_oob_buf oob;
  oob.start = (uint32_t)start;
  oob.length = (uint32_t)length;
  oob.ptr = static_cast<unsigned char*>(data);
  int ret = k_ioctl(fd, cmd32, &oob);
  if (ret < 0)
    libmtd_sys_errmsg("%s ioctl failed for mtd%d, offset %llu (eraseblock %llu)\n", cmd32_str, mtd->mtd_num,
                      (unsigned long long)start, (unsigned long long)(start / (uint64_t)mtd->eb_size));
  return ret;
}

int mtd_read_oob(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, uint64_t start, uint64_t length,
                 void* data) {
  return do_oob_op(lib, mtd, fd, start, length, data, MEMREADOOB64, MEMREADOOB, "MEMREADOOB64", "MEMREADOOB");
}

int mtd_write_oob(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, uint64_t start, uint64_t length,
                  void* data) {
  return do_oob_op(lib, mtd, fd, start, length, data, MEMWRITEOOB64, MEMWRITEOOB, "MEMWRITEOOB64",
                   "MEMWRITEOOB");
}

// Moves the caller's OOB bytes into the free positions of the kernel's automatic layout, as
// the driver would have done with MEMWRITE. Regions reaching past the caller's buffer, or
// asking for more bytes than it holds, are cut at its end.
static int place_auto_oob(int fd, void* oob, int ooblen) {
  struct nand_oobinfo old_oobinfo;
  if (k_ioctl(fd, MEMGETOOBSEL, &old_oobinfo) != 0) return libmtd_sys_errmsg("MEMGETOOBSEL failed\n");
  if (ooblen <= 0 || old_oobinfo.useecc != MTD_NANDECC_AUTOPLACE) return 0;

  unsigned char* buf = static_cast<unsigned char*>(oob);
  unsigned char* tmp = static_cast<unsigned char*>(xmalloc((size_t)ooblen));
  memcpy(tmp, buf, (size_t)ooblen);
  uint32_t used = 0, total = (uint32_t)ooblen;
  for (int i = 0; i < 8 && old_oobinfo.oobfree[i][1]; i++) {
    uint32_t at = old_oobinfo.oobfree[i][0], n = old_oobinfo.oobfree[i][1];
    if (at >= total || used >= total) break;
    if (n > total - at) n = total - at;
    if (n > total - used) n = total - used;
    memcpy(buf + at, tmp + used, n);
    used += n;
  }
  free(tmp);
  return 0;
}

// One MEMWRITE request: 0 written, -1 failed (reported), 1 the kernel has no MEMWRITE
// (remembered in lib).
static int memwrite(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, int eb, int offs, int32_t pos,
                    void* data, int len, void* oob, int ooblen, uint8_t mode) {
  struct mtd_write_req ops;
  memset(&ops, 0, sizeof(ops));
  ops.start = (uint64_t)(int64_t)pos;
  ops.len = data ? (uint64_t)(int64_t)len : 0;
  ops.ooblen = oob ? (uint64_t)(int64_t)ooblen : 0;
  ops.usr_data = (uint64_t)(uintptr_t)data;
  ops.usr_oob = (uint64_t)(uintptr_t)oob;
  ops.mode = mode;
  if (k_ioctl(fd, MEMWRITE, &ops) == 0) return 0;
  if (errno == ENOTTY || errno == EOPNOTSUPP) {
    lib->no_memwrite = 1;
    return 1;
  }
  if (oob) return mtd_ioctl_error(mtd, eb, "MEMWRITE");
  return libmtd_sys_errmsg("cannot write %d bytes to mtd%d (eraseblock %d, offset %d)\n", len, mtd->mtd_num,
                           eb, offs);
}

int mtd_write(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, int eb, int offs, void* data, int len,
              void* oob, int ooblen, uint8_t mode) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;
  // A negative length would become a huge write from the caller's buffer.
  if (check_offs_len(mtd, offs, len, false)) return -1;

  // A record whose subpage size is 0 never comes from discovery; refuse it rather than divide.
  if (mtd->subpage_size <= 0 || offs % mtd->subpage_size) {
    libmtd_errmsg("write offset %d is not aligned to mtd%d min. I/O size %d\n", offs, mtd->mtd_num,
                  mtd->subpage_size);
    errno = EINVAL;
    return -1;
  }
  if (len % mtd->subpage_size) {
    libmtd_errmsg("write length %d is not aligned to mtd%d min. I/O size %d\n", len, mtd->mtd_num,
                  mtd->subpage_size);
    errno = EINVAL;
    return -1;
  }

  int32_t pos = 0;
  if (data_pos(mtd, eb, offs, &pos)) return -1;

  // One request for data and OOB bytes alike: a plain page is one program call, no seek.
  if ((oob || data) && !lib->no_memwrite) {
    const int ret = memwrite(lib, mtd, fd, eb, offs, pos, data, len, oob, ooblen, mode);
    if (ret != 1) return ret;
  }

  if (oob) {
    // No MEMWRITE: OOB bytes first, then the data, as two separate programs.
    if (mode == MTD_OPS_AUTO_OOB && place_auto_oob(fd, oob, ooblen)) return -1;
    if (mtd_write_oob(lib, mtd, fd, (uint64_t)(int64_t)pos, (uint64_t)(int64_t)ooblen, oob) < 0)
      return libmtd_sys_errmsg("cannot write to OOB\n");
  }

  if (!data) return 0;

  if (seek_pos(mtd, fd, pos)) return -1;
  ssize_t ret = k_write(fd, data, (size_t)len);
  if (ret != len) {
    // A short write sets no errno of its own; the page did not get all its bytes.
    if (ret >= 0) errno = EIO;
    return libmtd_sys_errmsg("cannot write %d bytes to mtd%d (eraseblock %d, offset %d)\n", len, mtd->mtd_num,
                             eb, offs);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Operations the flash tools do not call

int mtd_is_locked(const struct mtd_dev_info* mtd, int fd, int eb) {
  struct erase_info_user ei;
  ei.start = (uint32_t)eb_start(mtd, eb);
  ei.length = (uint32_t)mtd->eb_size;
  int ret = k_ioctl(fd, MEMISLOCKED, &ei);
  if (ret < 0) {
    if (errno != ENOTTY && errno != EOPNOTSUPP) return mtd_ioctl_error(mtd, eb, "MEMISLOCKED");
    errno = EOPNOTSUPP;
  }
  return ret;
}

static int mtd_xlock(const struct mtd_dev_info* mtd, int fd, int eb, unsigned int req, const char* sreq) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;
  struct erase_info_user ei;
  ei.start = (uint32_t)eb_start(mtd, eb);
  ei.length = (uint32_t)mtd->eb_size;
  if (k_ioctl(fd, req, &ei) < 0) return mtd_ioctl_error(mtd, eb, sreq);
  return 0;
}

int mtd_lock(const struct mtd_dev_info* mtd, int fd, int eb) {
  return mtd_xlock(mtd, fd, eb, MEMLOCK, "MEMLOCK");
}

int mtd_unlock(const struct mtd_dev_info* mtd, int fd, int eb) {
  return mtd_xlock(mtd, fd, eb, MEMUNLOCK, "MEMUNLOCK");
}

int mtd_regioninfo(int fd, int regidx, struct region_info_user* reginfo) {
  if (regidx < 0) {
    errno = ENODEV;
    return -1;
  }
  if (k_ioctl(fd, MEMGETREGIONINFO, reginfo) < 0)
    return libmtd_sys_errmsg("%s ioctl failed for erase region %d\n", "MEMGETREGIONINFO", regidx);
  return 0;
}

// The image's size, once it is known to fit from (eb, offs) on in whole I/O units; -1 if not.
static long long img_size_that_fits(const struct mtd_dev_info* mtd, int in_fd, int eb, int offs,
                                    const char* img_name) {
  struct stat st;
  if (k_fstat(in_fd, &st)) return libmtd_sys_errmsg("cannot stat %s\n", img_name);
  // The size is printed as an int; an image of 2 GiB or more cannot fit an int-sized device.
  const long long img_size = st.st_size;
  if (img_size % mtd->subpage_size) {
    libmtd_errmsg("size of \"%s\" is %d byte, which is not aligned to mtd%d min. I/O size %d\n", img_name,
                  (int)img_size, mtd->mtd_num, mtd->subpage_size);
    errno = EINVAL;
    return -1;
  }
  const long long blocks = (img_size + offs + mtd->eb_size - 1) / mtd->eb_size;
  if (img_size > INT_MAX || blocks + eb > mtd->eb_cnt) {
    libmtd_errmsg(
        "\"%s\" image size is %d bytes, mtd%d size is %d eraseblocks, the image does "
        "not fit if we write it starting from eraseblock %d, offset %d\n",
        img_name, (int)img_size, mtd->mtd_num, mtd->eb_cnt, eb, offs);
    errno = EINVAL;
    return -1;
  }
  return img_size;
}

// Copies img_size bytes of the image to the device, one eraseblock's worth at a time.
static int copy_img(const struct mtd_dev_info* mtd, int fd, int in_fd, int eb, int offs, long long img_size,
                    const char* img_name, char* buf) {
  long long written = 0;
  while (written < img_size) {
    long long want = mtd->eb_size - offs;
    if (want > img_size - written) want = img_size - written;
    long long rd = 0;
    while (rd < want) {
      ssize_t n = k_read(in_fd, buf + rd, (size_t)(want - rd));
      if (n == -1) return libmtd_sys_errmsg("cannot read \"%s\"\n", img_name);
      if (n == 0) break;  // the file shrank since its status was taken
      rd += n;
    }
    if (rd == 0) {
      errno = EIO;
      return libmtd_sys_errmsg("cannot read \"%s\"\n", img_name);
    }
    ssize_t wr = k_write(fd, buf, (size_t)rd);
    if (wr != rd) {
      if (wr >= 0) errno = EIO;
      return libmtd_sys_errmsg("cannot write %d bytes to mtd%d (eraseblock %d, offset %d)\n", (int)img_size,
                               mtd->mtd_num, eb, offs);
    }
    written += rd;
    offs = 0;
    eb += 1;
  }
  return 0;
}

int mtd_write_img(const struct mtd_dev_info* mtd, int fd, int eb, int offs, const char* img_name) {
  if (mtd_valid_erase_block(mtd, eb)) return -1;
  if (offs < 0 || offs >= mtd->eb_size) {
    libmtd_errmsg("bad offset %d, mtd%d eraseblock size is %d\n", offs, mtd->mtd_num, mtd->eb_size);
    errno = EINVAL;
    return -1;
  }
  if (mtd->subpage_size <= 0 || offs % mtd->subpage_size) {
    libmtd_errmsg("write offset %d is not aligned to mtd%d min. I/O size %d\n", offs, mtd->mtd_num,
                  mtd->subpage_size);
    errno = EINVAL;
    return -1;
  }
  int in_fd = k_open(img_name, O_RDONLY | O_CLOEXEC);
  if (in_fd == -1) return libmtd_sys_errmsg("cannot open \"%s\"\n", img_name);
  int ret = -1;
  char* buf = nullptr;
  const long long img_size = img_size_that_fits(mtd, in_fd, eb, offs, img_name);
  int32_t pos = 0;
  if (img_size >= 0 && !data_pos(mtd, eb, offs, &pos) && !seek_pos(mtd, fd, pos)) {
    buf = static_cast<char*>(xmalloc((size_t)mtd->eb_size));
    ret = copy_img(mtd, fd, in_fd, eb, offs, img_size, img_name, buf);
  }
  // The failure's errno, not the close's, goes back to the caller.
  int err = errno;
  free(buf);
  k_close(in_fd);
  errno = err;
  return ret;
}

static const uint8_t patterns[] = {0xa5, 0x5a, 0x0};

static int check_pattern(const void* buf, uint8_t patt, int size) {
  const uint8_t* p = static_cast<const uint8_t*>(buf);
  for (int i = 0; i < size; i++)
    if (p[i] != patt) return 0;
  return 1;
}

// One pattern: erase, check blank, program the pattern, read it back. 0, or -1 (reported).
static int torture_pattern(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, int eb, uint8_t patt,
                           void* buf) {
  if (mtd_erase(lib, mtd, fd, eb) || mtd_read(mtd, fd, eb, 0, buf, mtd->eb_size)) return -1;
  if (!check_pattern(buf, 0xFF, mtd->eb_size)) {
    libmtd_errmsg("erased PEB %d, but a non-0xFF byte found\n", eb);
    errno = EIO;
    return -1;
  }
  memset(buf, patt, (size_t)mtd->eb_size);
  if (mtd_write(lib, mtd, fd, eb, 0, buf, mtd->eb_size, nullptr, 0, 0)) return -1;
  memset(buf, ~patt, (size_t)mtd->eb_size);
  if (mtd_read(mtd, fd, eb, 0, buf, mtd->eb_size)) return -1;
  if (!check_pattern(buf, patt, mtd->eb_size)) {
    libmtd_errmsg("pattern %x checking failed for PEB %d\n", patt, eb);
    errno = EIO;
    return -1;
  }
  return 0;
}

int mtd_torture(libmtd_t lib, const struct mtd_dev_info* mtd, int fd, int eb) {
  libmtd_normsg("run torture test for PEB %d\n", eb);
  void* buf = xmalloc((size_t)mtd->eb_size);
  int ret = 0;
  for (size_t i = 0; i < sizeof(patterns) && ret == 0; i++)
    ret = torture_pattern(lib, mtd, fd, eb, patterns[i], buf);
  const int err = errno;
  free(buf);
  errno = err;
  if (ret == 0) libmtd_normsg("PEB %d passed torture test, do not mark it a bad\n", eb);
  return ret;
}
