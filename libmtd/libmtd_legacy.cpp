// MTD discovery for kernels without MTD sysfs: the device list of "/proc/mtd" and the
// geometry that MEMGETINFO reports on the character node.
#include "libmtd_legacy.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>

#include <mtd/mtd-user.h>

#include "kernel.h"

#define MTD_PROC_FILE "/proc/mtd"
#define MTD_DEV_PATT "/dev/mtd%d"
#define MTD_DEV_MAJOR 90

#define PROC_MTD_FIRST "dev:    size   erasesize  name\n"
#define PROC_MTD_FIRST_LEN (sizeof(PROC_MTD_FIRST) - 1)
#define PROC_MTD_MAX_LEN 4096
#define PROC_MTD_PATT "mtd%d: %llx %x"

struct proc_parse_info {
  int mtd_num;
  unsigned long long size;
  unsigned int eb_size;
  char name[MTD_NAME_MAX + 1];
  // One extra byte holds a NUL after the data, so the line scanner stops at its end.
  char* buf;
  char* next;
  int data_size;
};

static void proc_parse_end(struct proc_parse_info* pi) {
  free(pi->buf);
  pi->buf = nullptr;
}

static int proc_parse_start(struct proc_parse_info* pi) {
  KFd fd(k_open(MTD_PROC_FILE, O_RDONLY | O_CLOEXEC));
  if (!fd.ok()) return -1;

  pi->buf = static_cast<char*>(xmalloc(PROC_MTD_MAX_LEN + 1));
  ssize_t ret = k_read(fd.get(), pi->buf, PROC_MTD_MAX_LEN);
  if (ret == -1) {
    libmtd_sys_errmsg("cannot read \"%s\"\n", MTD_PROC_FILE);
    proc_parse_end(pi);
    return -1;
  }
  if (ret < (ssize_t)PROC_MTD_FIRST_LEN || memcmp(pi->buf, PROC_MTD_FIRST, PROC_MTD_FIRST_LEN)) {
    libmtd_errmsg("\"%s\" does not start with \"%s\"\n", MTD_PROC_FILE, PROC_MTD_FIRST);
    proc_parse_end(pi);
    return -1;
  }
  pi->data_size = (int)ret;
  pi->buf[ret] = '\0';
  pi->next = pi->buf + PROC_MTD_FIRST_LEN;
  return 0;
}

// A malformed line ends the scan.
static int proc_parse_bad(struct proc_parse_info* pi, const char* why) {
  libmtd_errmsg("%s", why);
  proc_parse_end(pi);
  return -1;
}

// 1: an entry is in pi; 0: end of table; -1: malformed line. The scan is over (buffer freed)
// whenever the result is not 1.
static int proc_parse_next(struct proc_parse_info* pi) {
  char* end = pi->buf + pi->data_size;
  if (pi->next >= end) {
    proc_parse_end(pi);
    return 0;
  }
  if (sscanf(pi->next, PROC_MTD_PATT, &pi->mtd_num, &pi->size, &pi->eb_size) != 3)
    return proc_parse_bad(pi, "\"" PROC_MTD_PATT "\" pattern not found\n");

  char* p = static_cast<char*>(memchr(pi->next, '"', (size_t)(end - pi->next)));
  if (!p || p == end - 1) return proc_parse_bad(pi, "opening \" not found\n");
  p += 1;
  char* q = static_cast<char*>(memchr(p, '"', (size_t)(end - p)));
  if (!q) return proc_parse_bad(pi, "closing \" not found\n");
  size_t len = (size_t)(q - p);
  if (len > MTD_NAME_MAX) {
    libmtd_errmsg("too long mtd%d device name\n", pi->mtd_num);
    proc_parse_end(pi);
    return -1;
  }
  memcpy(pi->name, p, len);
  pi->name[len] = '\0';
  if (q + 1 >= end || q[1] != '\n') return proc_parse_bad(pi, "opening \"\n\" not found\n");
  pi->next = q + 2;
  return 1;
}

int legacy_libmtd_open(void) {
  int fd = k_open(MTD_PROC_FILE, O_RDONLY | O_CLOEXEC);
  if (fd == -1) {
    if (errno == ENOENT) errno = 0;
    return -1;
  }
  k_close(fd);
  return 0;
}

int legacy_dev_present(int mtd_num) {
  struct proc_parse_info pi;
  if (proc_parse_start(&pi)) return -1;
  int ret;
  while ((ret = proc_parse_next(&pi)) == 1) {
    if (pi.mtd_num == mtd_num) {
      proc_parse_end(&pi);
      return 1;
    }
  }
  return ret;
}

int legacy_mtd_get_info(struct mtd_info* info) {
  struct proc_parse_info pi;
  if (proc_parse_start(&pi)) return -1;

  info->lowest_mtd_num = INT_MAX;
  int ret;
  while ((ret = proc_parse_next(&pi)) == 1) {
    info->mtd_dev_cnt += 1;
    if (pi.mtd_num > info->highest_mtd_num) info->highest_mtd_num = pi.mtd_num;
    if (pi.mtd_num < info->lowest_mtd_num) info->lowest_mtd_num = pi.mtd_num;
  }
  return ret;
}

// Refuses a geometry that later arithmetic cannot use; EINVAL, as for any content check.
static int insane(void) {
  errno = EINVAL;
  return -1;
}

// Whether the device answers bad-block questions: a chip without them says EOPNOTSUPP.
static int probe_bad_blocks(int fd, struct mtd_dev_info* mtd) {
  __kernel_loff_t offs = 0;
  if (k_ioctl(fd, MEMGETBADBLOCK, &offs) == -1) {
    if (errno != EOPNOTSUPP) return libmtd_sys_errmsg("MEMGETBADBLOCK ioctl failed\n");
    errno = 0;
    mtd->bb_allowed = 0;
  } else {
    mtd->bb_allowed = 1;
  }
  return 0;
}

// Takes the kernel's answer to MEMGETINFO, refusing what later arithmetic cannot use.
static int take_geometry(const char* node, const struct mtd_info_user& ui, struct mtd_dev_info* mtd) {
  mtd->type = ui.type;
  mtd->size = ui.size;
  mtd->eb_size = (int)ui.erasesize;
  mtd->min_io_size = (int)ui.writesize;
  mtd->oob_size = (int)ui.oobsize;
  if (mtd->min_io_size <= 0) {
    libmtd_errmsg("mtd%d (%s) has insane min. I/O unit size %d\n", mtd->mtd_num, node, mtd->min_io_size);
    return insane();
  }
  if (mtd->eb_size <= 0 || mtd->eb_size < mtd->min_io_size) {
    libmtd_errmsg("mtd%d (%s) has insane eraseblock size %d\n", mtd->mtd_num, node, mtd->eb_size);
    return insane();
  }
  if (!mtd->size || mtd->size < mtd->eb_size || mtd->size / mtd->eb_size > INT_MAX) {
    libmtd_errmsg("mtd%d (%s) has insane size %lld\n", mtd->mtd_num, node, mtd->size);
    return insane();
  }
  mtd->eb_cnt = (int)(mtd->size / mtd->eb_size);
  if (mtd->type == MTD_ABSENT) {
    libmtd_errmsg("mtd%d (%s) is removable and is not present\n", mtd->mtd_num, node);
    return insane();
  }
  const char* type_str = mtd_type_name(mtd->type);
  if (!type_str) return insane();
  snprintf(mtd->type_str, sizeof(mtd->type_str), "%s", type_str);
  mtd->subpage_size = mtd->min_io_size;
  mtd->writable = !!(ui.flags & MTD_WRITEABLE);
  return 0;
}

// The device's name, from its "/proc/mtd" line.
static int name_from_proc(struct mtd_dev_info* mtd) {
  struct proc_parse_info pi;
  if (proc_parse_start(&pi)) return -1;
  int ret;
  while ((ret = proc_parse_next(&pi)) == 1) {
    if (pi.mtd_num == mtd->mtd_num) {
      snprintf(mtd->name, sizeof(mtd->name), "%s", pi.name);
      proc_parse_end(&pi);
      return 0;
    }
  }
  if (ret == 0) {
    libmtd_errmsg("mtd%d not found in \"%s\"\n", mtd->mtd_num, MTD_PROC_FILE);
    errno = ENOENT;
  }
  return -1;
}

int legacy_get_dev_info(const char* node, struct mtd_dev_info* mtd) {
  struct stat st;
  if (k_stat(node, &st)) {
    libmtd_sys_errmsg("cannot open \"%s\"\n", node);
    if (errno == ENOENT)
      libmtd_normsg(
          "MTD subsystem is old and does not support sysfs, so MTD character device nodes have "
          "to exist\n");
    return -1;
  }
  if (!S_ISCHR(st.st_mode)) {
    errno = EINVAL;
    return libmtd_errmsg("\"%s\" is not a character device\n", node);
  }

  memset(mtd, 0, sizeof(*mtd));
  mtd->major = (int)major(st.st_rdev);
  mtd->minor = (int)minor(st.st_rdev);
  if (mtd->major != MTD_DEV_MAJOR) {
    errno = EINVAL;
    return libmtd_errmsg("\"%s\" has major number %d, MTD devices have major %d\n", node, mtd->major,
                         MTD_DEV_MAJOR);
  }
  mtd->mtd_num = mtd->minor / 2;

  int fd = k_open(node, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return libmtd_sys_errmsg("cannot open \"%s\"\n", node);
  struct mtd_info_user ui;
  int ret = k_ioctl(fd, MEMGETINFO, &ui);
  if (ret) libmtd_sys_errmsg("MEMGETINFO ioctl request failed\n");
  if (!ret) ret = probe_bad_blocks(fd, mtd);
  if (!ret) ret = take_geometry(node, ui, mtd);
  // The failure's errno, not the close's, goes back to the caller.
  const int err = errno;
  k_close(fd);
  errno = err;
  return ret ? -1 : name_from_proc(mtd);
}

int legacy_get_dev_info1(int mtd_num, struct mtd_dev_info* mtd) {
  char node[sizeof(MTD_DEV_PATT) + 20];
  snprintf(node, sizeof(node), MTD_DEV_PATT, mtd_num);
  return legacy_get_dev_info(node, mtd);
}
