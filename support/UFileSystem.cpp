#include "UFileSystem.h"

#include <errno.h>
#include <sys/mount.h>

#include "ULog.h"

bool UFileSystem::Umount(const char* target) {
  if (::umount(target) != 0) {
    USYSLOG_ERROR("Umount", errno);
    return false;
  }
  return true;
}
