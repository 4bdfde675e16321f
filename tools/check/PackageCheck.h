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
// The package at path staged and unpacked as fwapply does it (a directory package is copied),
// for a tool that runs it: returns the directory of its files inside a new private temporary
// directory, which goes to scratch and which the caller removes with RemoveScratch. "" when
// fwapply would refuse the package; the reasons are in report.
std::string UnpackPackage(const std::string& path, PackageForm form, Report* report, std::string* scratch);
void RemoveScratch(const std::string& scratch);
