// Range erase: a run of eraseblocks of an MTD device is erased, bad blocks skipped.
#pragma once

// count 0 means to the end of the device. 0 when the range was gone through, -1 on setup failures.
int flash_erase(const char* device, int start, int count);

// Eraseblocks of the last flash_erase call that failed to erase. The call still succeeds for
// them, yet what they hold cannot be trusted: whoever writes into the range must know.
int flash_erase_failures();
