// One update script judged line by line as fwapply would run it, through the engine's own line
// cutting, words, numbers, command table and budget, against a layout of the chip.
#pragma once

#include <string>

#include "Layout.h"
#include "Report.h"

struct CheckConfig {
  Layout layout = Layout::Board();
  // Spare eraseblocks, in percent of a range, that an image must leave for bad blocks.
  double spare_percent = 2.0;
};

// Checks the script name in the unpacked package dir: its findings (in line order, then the
// budget note) and its range summary go into report.
void CheckScript(const CheckConfig& config, const std::string& dir, const std::string& name, Report* report);
