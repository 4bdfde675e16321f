#include "Fwcheck.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "PackageCheck.h"
#include "UFile.h"

namespace {

// sysexits' EX_USAGE: a pipeline tells a wrong call apart from a package with errors.
const int kUsageError = 64;

struct Options {
  CheckConfig config;
  bool json = false;
  const char* package = nullptr;
};

void Usage(FILE* out) {
  fprintf(out,
          "usage: fwcheck [--layout FILE] [--spare PERCENT] [--json] PACKAGE\n"
          "  PACKAGE         an update package: PKG.tgz, PKG.img or an unpacked directory\n"
          "  --layout FILE   the chip's partitions, in the format of /proc/mtd (default: the\n"
          "                  simulated board, 128 MiB with the boot environment at 0x3c0000)\n"
          "  --spare PERCENT spare eraseblocks each image must leave for bad blocks (default 2)\n"
          "  --json          findings and ranges as JSON\n"
          "exit status: 0 clean, 1 warnings, 2 errors, 64 usage error\n");
}

bool ReadLayout(const char* file, Layout* layout) {
  const std::string text = UFile::ReadFile(file);
  std::string why = text.empty() ? "cannot be read or is empty" : "";
  if (!text.empty() && Layout::Parse(text, layout, &why)) return true;
  fprintf(stderr, "fwcheck: layout %s: %s\n", file, why.c_str());
  return false;
}

bool ReadSpare(const char* text, double* percent) {
  char* end = nullptr;
  errno = 0;
  *percent = strtod(text, &end);
  if (end != text && *end == '\0' && errno == 0 && isfinite(*percent) && *percent >= 0 && *percent < 100)
    return true;
  fprintf(stderr, "fwcheck: --spare %s is not a percentage from 0 to below 100\n", text);
  return false;
}

// 0 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool valued = arg == "--layout" || arg == "--spare";
    if (valued && i + 1 >= argc) {
      fprintf(stderr, "fwcheck: %s needs a value\n", arg.c_str());
      return kUsageError;
    }
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return -1;
    }
    if (arg == "--json")
      options->json = true;
    else if (arg == "--layout" && !ReadLayout(argv[++i], &options->config.layout))
      return kUsageError;
    else if (arg == "--spare" && !ReadSpare(argv[++i], &options->config.spare_percent))
      return kUsageError;
    else if (!valued && arg.size() > 1 && arg[0] == '-') {
      fprintf(stderr, "fwcheck: unknown option %s\n", arg.c_str());
      return kUsageError;
    } else if (!valued && options->package) {
      fprintf(stderr, "fwcheck: one package at a time\n");
      return kUsageError;
    } else if (!valued) {
      options->package = argv[i];
    }
  }
  return 0;
}

}  // namespace

int FwcheckMain(int argc, char** argv) {
  Options options;
  const int rc = ParseOptions(argc, argv, &options);
  if (rc < 0) return 0;
  if (rc == 0 && !options.package) fprintf(stderr, "fwcheck: no package named\n");
  if (rc != 0 || !options.package) {
    Usage(stderr);
    return kUsageError;
  }
  Report report;
  CheckPackage(options.package, options.config, PackageForm::kByName, &report);
  if (options.json) {
    WriteJson(report, stdout);
  } else {
    WriteFindings(report, stdout, true);
    WriteSummary(report, stdout);
    const int errors = report.Count(Severity::kError), warnings = report.Count(Severity::kWarning);
    printf("\nfwcheck: %d error%s, %d warning%s\n", errors, errors == 1 ? "" : "s", warnings,
           warnings == 1 ? "" : "s");
  }
  fflush(stdout);
  return report.Status();
}
