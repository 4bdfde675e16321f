// File-system helpers: unmounting, with failures reported to the diagnostic log.
#pragma once

class UFileSystem {
 public:
  // umount of a mount point or device; false (and reported) on failure.
  static bool Umount(const char* target);
};
