// fwimg: wraps an update package (a gzip tar) into an ".img" file that fwapply unwraps:
// header bytes, the NUL-padded package name, the package, 4 final bytes (layout in Staging.h).
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "PackageCheck.h"
#include "Staging.h"
#include "UCrc32.h"

namespace {

// Free for the package author; fwapply never reads it. A readable tag helps `head -c` users.
const char kTag[] = "fwapply image\n";

void Usage() {
  fprintf(stderr,
          "usage: fwimg [--force] <package.tgz> <output.img> [name]\n"
          "  name: file name the package gets on the board (default: the package's base name);\n"
          "        at most 36 characters, no \"/\"; it should contain \".tgz\".\n"
          "  The package is checked as fwcheck checks it; one with errors is not wrapped\n"
          "  unless --force is given.\n"
          "  The 4 final bytes hold the package's CRC-32, least-significant byte first.\n");
}

bool ReadFile(const char* path, std::vector<unsigned char>& out) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  unsigned char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

// A package that would brick a board is not wrapped for shipping unless the author insists.
bool Checked(const char* package, bool force) {
  // One that cannot be read is reported below, as before.
  if (access(package, R_OK) != 0) return true;
  Report report;
  CheckPackage(package, CheckConfig(), PackageForm::kTgz, &report);
  WriteFindings(report, stderr, false);
  if (report.Status() < 2) return true;
  fprintf(stderr,
          force ? "fwimg: %s has errors; wrapped anyway (--force)\n"
                : "fwimg: %s has errors; not wrapped (--force wraps it anyway)\n",
          package);
  return force;
}

// 0; 1 (nothing left behind) when the image cannot be written whole.
int WriteImage(const char* output, const std::vector<unsigned char>& img) {
  FILE* f = fopen(output, "wb");
  if (!f) {
    fprintf(stderr, "fwimg: cannot create %s: %s\n", output, strerror(errno));
    return 1;
  }
  bool ok = fwrite(img.data(), 1, img.size(), f) == img.size();
  ok = (fclose(f) == 0) && ok;
  if (!ok) {
    fprintf(stderr, "fwimg: cannot write %s: %s\n", output, strerror(errno));
    remove(output);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool force = argc > 1 && strcmp(argv[1], "--force") == 0;
  if (force) {
    --argc;
    ++argv;
  }
  if (argc < 3 || argc > 4) {
    Usage();
    return 2;
  }
  const char* package = argv[1];
  const char* output = argv[2];
  if (!Checked(package, force)) return 2;
  std::string name;
  if (argc == 4) {
    name = argv[3];
  } else {
    const char* slash = strrchr(package, '/');
    name = slash ? slash + 1 : package;
  }
  if (name.size() > kImgNameSize) {
    fprintf(stderr, "fwimg: name \"%s\" is longer than %zu characters\n", name.c_str(), kImgNameSize);
    return 1;
  }

  std::vector<unsigned char> img(kImgHeaderSize, 0);
  memcpy(img.data(), kTag, sizeof kTag - 1);
  memcpy(img.data() + kImgNameOffset, name.data(), name.size());
  // The board applies the same check, so an image it would refuse is never produced.
  std::string parsed;
  if (ParseImgHeader(img.data(), img.size(), parsed) != 0 || parsed != name) {
    fprintf(stderr, "fwimg: \"%s\" is not a plain file name\n", name.c_str());
    return 1;
  }

  std::vector<unsigned char> pkg;
  if (!ReadFile(package, pkg)) {
    fprintf(stderr, "fwimg: cannot read %s: %s\n", package, strerror(errno));
    return 1;
  }
  img.insert(img.end(), pkg.begin(), pkg.end());
  const unsigned int crc = crc32(0, pkg.data(), static_cast<unsigned int>(pkg.size()));
  for (int i = 0; i < 4; i++) img.push_back(static_cast<unsigned char>(crc >> (8 * i)));

  return WriteImage(output, img);
}
