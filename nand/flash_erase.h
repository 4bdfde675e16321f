// Range erase: a run of eraseblocks of an MTD device is erased, bad blocks skipped.
#pragma once

// count 0 means to the end of the device. 0 when the range was gone through, -1 on setup failures.
int flash_erase(const char* device, int start, int count);

// What the last flash_erase call on a device did to each eraseblock. The call succeeds although
// blocks failed to erase, and it may stop early; whoever programs into the range must know which
// blocks are erased, not merely that the call returned.
enum FlashBlockState {
  kBlockNotReached = 0,  // outside the last call's range, or after the block where it stopped
  kBlockErased,
  kBlockBad,
  kBlockEraseFailed,  // what it holds cannot be trusted
};
// Every write into a range follows its own erase, so the last call's record is the one that counts.
FlashBlockState flash_erase_state(const char* device, long long eb);
