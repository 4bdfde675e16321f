#include "Board.h"

namespace {

const BoardPlaces kBoard = {
    "/tmp/update",
    "/mnt/user",
    "/tmp/user",
    "/tmp/fwapply.lock",
    "/dev/mtd0",
    "/dev/mtdblock4",
    "/tmp/ZQ_FW_UPDATE_SENDER",
    "/tmp/ZQ_SYSTEMLOG",
    0x106,
};

const BoardPlaces* g_places = &kBoard;

}  // namespace

const BoardPlaces& board_default() { return kBoard; }

const BoardPlaces* board_install(const BoardPlaces* places) {
  const BoardPlaces* before = g_places;
  g_places = places ? places : &kBoard;
  return before;
}

const BoardPlaces& board() { return *g_places; }
