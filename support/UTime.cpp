#include "UTime.h"

time_t UTime::nowS(time_t* t) { return ::time(t); }
