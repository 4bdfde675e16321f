// The power-cut map of a package: the boot slot's script run once whole, then once per cut point
// with the power cut after that many erases and page programs, and what each cut leaves the boot
// loader: the environment it reads and the state of every range the script writes.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "SimBoard.h"

struct CutRange {
  int line;          // script line, from 1
  std::string text;  // the line as written
  uint64_t start, size;
  bool env;  // the range of the boot environment (judged as the environment, not as a range)
  // Whether the slot the board boots before the run reads from it: another script of the package
  // writes it and switches to that slot. A cut that leaves such a range changed without switching
  // leaves the board on a partial slot; once switched, only the other ranges matter.
  bool old_slot = false;
};

// Consecutive cut points with the same outcome on the same script line.
struct CutStretch {
  long long first, last;  // cut points: operations completed before the cut
  size_t points;
  int range;                   // index into CutMap::ranges of the line the cut interrupted; -1 when unknown
  uint64_t first_at, last_at;  // flash addresses interrupted at the first and last point
  std::string env;             // "old", "new", "other" or "lost" (the boot loader's defaults)
  std::vector<std::string> states;  // per range that is not the environment: old, new, partial
  bool defaults, partial_slot;
  bool switched;  // the environment selects another slot than before the run
};

struct CutMap {
  std::string script;
  int status = -1;  // fwapply's status on the uncut run
  uint64_t ops = 0;
  uint64_t eb_size = 0;
  long long every = 1;
  std::vector<CutRange> ranges;
  std::vector<CutStretch> stretches;
  size_t points = 0, on_defaults = 0, on_partial_slot = 0;
};

// The script that runs on the board of options: fwupdate_<image>; "" without an image variable.
std::string SlotScript(const SimOptions& options);
// The flash ranges of script's lines in the package unpacked in dir, as fwcheck reads them;
// false when the script cannot be read.
bool ScriptRanges(const SimOptions& options, const std::string& dir, const std::string& script,
                  std::vector<CutRange>* ranges);
// Marks the ranges the board's current slot boots from (CutRange::old_slot), from the package's
// other scripts in dir that switch to that slot.
void MarkOldSlot(const SimOptions& options, const std::string& dir, std::vector<CutRange>* ranges);
// options with the backing that holds every range.
SimOptions Fitted(const SimOptions& options, const std::vector<CutRange>& ranges);

// Builds the map of the package unpacked in dir (its files' scratch directory: scratch); false
// with the reason in why when the script that would run cannot be found.
bool PowerCutMap(const SimOptions& options, const std::string& dir, const std::string& scratch,
                 long long every, CutMap* map, std::string* why);
void WriteCutMap(const CutMap& map, FILE* out);
void WriteCutJson(const CutMap& map, FILE* out);
// false when path cannot be written.
bool WriteCutSvg(const CutMap& map, const std::string& path);
