// Inside the MTD access layer: the "/proc/mtd" discovery of kernels without MTD sysfs, and
// the message and memory helpers that both halves of the layer share.
#pragma once

#include <stddef.h>

#include "libmtd.h"

// Messages of the layer, all prefixed with "libmtd". errmsg and sys_errmsg print one error
// line on standard error (sys_errmsg adds the error-number line of the current errno); both
// leave errno as it was and return -1. normsg prints a notice on standard output.
int libmtd_errmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
int libmtd_sys_errmsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void libmtd_normsg(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Never returns null for a non-zero size: running out of memory ends the process (255).
void* xmalloc(size_t size);

// Kernel MTD type code to its name, or null for a code without one.
const char* mtd_type_name(int type);

int legacy_mtd_get_info(struct mtd_info* info);
int legacy_get_dev_info(const char* node, struct mtd_dev_info* mtd);
int legacy_get_dev_info1(int mtd_num, struct mtd_dev_info* mtd);
int legacy_dev_present(int mtd_num);
