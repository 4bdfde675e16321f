// Range erase: a run of eraseblocks of an MTD device is erased, bad blocks skipped.
#pragma once

// count 0 means to the end of the device. 0 when the range was gone through, -1 on setup failures.
int flash_erase(const char* device, int start, int count);
