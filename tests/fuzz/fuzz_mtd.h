// Shared by the MTD targets: a board of one 16-eraseblock chip; a device's names must end in it.
#pragma once

#include <stdlib.h>
#include <string.h>

#include "libmtd.h"
#include "sim_kernel.h"

inline void AddBoard(sim::Kernel* k) {
  static sim::Chip* chip = new sim::Chip(sim::Geometry{2048, 64, 0x20000, 0, 16 * 0x20000});
  k->add_mtd(0, chip, "whole");
  k->add_mtd(1, chip, "env", 0, 2 * 0x20000);
}

inline void CheckDev(const mtd_dev_info& d) {
  if (strnlen(d.name, sizeof d.name) == sizeof d.name ||
      strnlen(d.type_str, sizeof d.type_str) == sizeof d.type_str)
    abort();
}
