// Time helper: the current calendar time in whole seconds.
#pragma once

#include <time.h>

class UTime {
 public:
  // Seconds since the Epoch; also stored through t when t is not null.
  static time_t nowS(time_t* t);
};
