// A whole update package checked before it ships: staged as fwapply stages it (.img header, gzip
// integrity, tar into a private directory), then its carried updater and every fwupdate_<N>.
#pragma once

#include <string>

#include "Report.h"
#include "ScriptCheck.h"

enum class PackageForm {
  kByName,  // as fwapply tells them apart: a directory, a name holding ".tgz", then ".img"
  kTgz,     // a gzip tar whatever its name (fwimg's input)
};

// Checks the package at path; its findings and script summaries go into report, whose package
// becomes path. Nothing is written outside a temporary directory of this process.
void CheckPackage(const std::string& path, const CheckConfig& config, PackageForm form, Report* report);
