#include "Fwsim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "PackageCheck.h"
#include "PowerCut.h"
#include "SimBoard.h"

namespace {

const char kUsage[] =
    "usage: fwsim [options] PACKAGE\n"
    "       fwsim --power-cut [--every N] [--json] [--svg FILE] [options] PACKAGE\n"
    "\n"
    "Runs fwapply's engine on PACKAGE (*.tgz, *.img or a directory) on a simulated board (the chip\n"
    "of scripts/board.sh, the boot environment at 0x3C0000) and shows its output, status, flash map\n"
    "and boot variables; with --power-cut, cuts the power after every erase or page program in turn\n"
    "and shows what each cut leaves the boot loader.\n"
    "\n"
    "  --bad-blocks LIST   eraseblocks marked bad at power-on, e.g. 17,18\n"
    "  --fail-pages LIST   pages whose programming fails after N writes, PAGE[:N] (N defaults to 3)\n"
    "  --fail-erase LIST   eraseblocks whose erase fails after N erases, BLOCK[:N] (N defaults to 3)\n"
    "  --bitflips N        N corrected bit flips counted on every page read\n"
    "  --env \"A=1 B=2\"     boot variables (default \"image=1 bootdelay=3 board=sim\")\n"
    "  --version TEXT      content of /etc/version (default \"v1.2r3 build\")\n"
    "  --chip SIZE,PAGE,OOB  chip geometry (default 128M,2048,64; 64 pages an eraseblock)\n"
    "  --every N           with --power-cut: a cut after every Nth operation only\n"
    "  --json              with --power-cut: the map as JSON\n"
    "  --svg FILE          with --power-cut: the map as an SVG timeline too\n";

struct Args {
  SimOptions options;
  std::string package, svg;
  bool power_cut = false, json = false;
  long long every = 1;
};

bool Number(const std::string& text, unsigned long long* value) {
  char* end = nullptr;
  if (text.empty() || text[0] == '-') return false;
  *value = strtoull(text.c_str(), &end, 0);
  return end && *end == '\0';
}

// "A,B:N,..." as scripts/board.sh takes it; a missing count is the board's default of 3.
bool Counted(const std::string& text, std::vector<std::pair<uint64_t, long>>* out) {
  size_t pos = 0;
  while (pos <= text.size()) {
    const size_t comma = std::min(text.find(',', pos), text.size());
    const std::string item = text.substr(pos, comma - pos);
    const size_t colon = item.find(':');
    unsigned long long place = 0, count = 3;
    if (!Number(item.substr(0, colon), &place)) return false;
    if (colon != std::string::npos && !Number(item.substr(colon + 1), &count)) return false;
    out->push_back({place, static_cast<long>(count)});
    pos = comma + 1;
  }
  return true;
}

bool Plain(const std::string& text, std::vector<uint64_t>* out) {
  std::vector<std::pair<uint64_t, long>> counted;
  if (text.find(':') != std::string::npos || !Counted(text, &counted)) return false;
  for (const auto& c : counted) out->push_back(c.first);
  return true;
}

bool Geometry(const std::string& text, SimOptions* options) {
  unsigned long long size = 0, page = 0, oob = 0;
  char unit = 0;
  if (sscanf(text.c_str(), "%llu%c,%llu,%llu", &size, &unit, &page, &oob) != 4) return false;
  const int shift = unit == 'K' ? 10 : unit == 'M' ? 20 : unit == 'G' ? 30 : -1;
  if (shift < 0 || page < 512 || (page & (page - 1)) != 0 || oob == 0 || oob > page / 8) return false;
  options->chip_size = size << shift;
  options->page_size = static_cast<uint32_t>(page);
  options->oob_size = static_cast<uint32_t>(oob);
  return options->chip_size >= kSimEnvAt + 2 * page * 64 && options->chip_size % (page * 64) == 0;
}

// One option with its value; false for an unknown option or a bad value.
bool Option(const std::string& name, const std::string& value, Args* a) {
  unsigned long long n = 0;
  SimOptions& o = a->options;
  if (name == "--env") return o.env = value, true;
  if (name == "--version") return o.version = value, true;
  if (name == "--svg") return a->svg = value, true;
  if (name == "--bad-blocks") return Plain(value, &o.bad_blocks);
  if (name == "--fail-pages") return Counted(value, &o.fail_pages);
  if (name == "--fail-erase") return Counted(value, &o.fail_erase);
  if (name == "--chip") return Geometry(value, &o);
  if (name == "--bitflips" && Number(value, &n) && n < 1000)
    return o.bitflips = static_cast<uint32_t>(n), true;
  if (name == "--every" && Number(value, &n) && n > 0) return a->every = static_cast<long long>(n), true;
  return false;
}

bool Parse(int argc, char** argv, Args* a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--power-cut" || arg == "--json") {
      (arg == "--json" ? a->json : a->power_cut) = true;
    } else if (arg.compare(0, 2, "--") == 0) {
      if (i + 1 >= argc || !Option(arg, argv[i + 1], a)) {
        fprintf(stderr, "fwsim: bad option %s\n", arg.c_str());
        return false;
      }
      ++i;
    } else if (a->package.empty()) {
      a->package = arg;
    } else {
      fprintf(stderr, "fwsim: only one package\n");
      return false;
    }
  }
  if (a->package.empty()) fprintf(stderr, "fwsim: no package\n");
  return !a->package.empty();
}

void Section(const char* title) { printf("\n--- %s ---\n", title); }

int PlainRun(const Args& a, const std::string& dir, const std::string& scratch) {
  std::vector<CutRange> ranges;
  const std::string script = SlotScript(a.options);
  const SimOptions options = !script.empty() && ScriptRanges(a.options, dir, script, &ranges)
                                 ? Fitted(a.options, ranges)
                                 : a.options;
  sim::Chip chip(SimGeometry(options));
  SimPrepare(options, &chip);
  const uint64_t size = options.chip_size;
  const std::string map_before = SimMapText(chip, size), env_before = SimEnvText(chip);
  const SimAfter after = [size](sim::Chip& c, int) { return SimMapText(c, size) + '\0' + SimEnvText(c); };
  const SimRun run = SimRunOnce(options, chip, dir, scratch, -1, after);
  const size_t split = run.result.find('\0');
  const std::string map = run.result.substr(0, split);
  Section("fwapply standard output");
  fputs(run.out.c_str(), stdout);
  if (!run.out.empty() && run.out.back() != '\n') puts("(no newline at end)");
  Section("fwapply standard error");
  fputs(run.err.c_str(), stdout);
  Section("exit status");
  printf("%d\n", run.status);
  Section("flash after the run (one character per eraseblock)");
  fputs(map.c_str(), stdout);
  if (map == map_before)
    puts("(unchanged by the run)");
  else
    printf("before the run: %s",
           map_before.substr(map_before.rfind('\n', map_before.size() - 2) + 1).c_str());
  printf("\n--- boot variables at 0x%llx before ---\n%s", static_cast<unsigned long long>(kSimEnvAt),
         env_before.c_str());
  printf("\n--- boot variables at 0x%llx after ---\n%s", static_cast<unsigned long long>(kSimEnvAt),
         split == std::string::npos ? "" : run.result.c_str() + split + 1);
  return run.status < 0 ? 70 : run.status;
}

int PowerCut(const Args& a, const std::string& dir, const std::string& scratch) {
  CutMap map;
  std::string why;
  if (!PowerCutMap(a.options, dir, scratch, a.every, &map, &why)) {
    fprintf(stderr, "fwsim: %s\n", why.c_str());
    return 2;
  }
  if (a.json)
    WriteCutJson(map, stdout);
  else
    WriteCutMap(map, stdout);
  if (!a.svg.empty() && !WriteCutSvg(map, a.svg)) {
    fprintf(stderr, "fwsim: cannot write %s\n", a.svg.c_str());
    return 2;
  }
  return 0;
}

}  // namespace

int FwsimMain(int argc, char** argv) {
  Args a;
  if (argc == 2 && (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0))
    return fputs(kUsage, stdout), 0;
  if (!Parse(argc, argv, &a)) {
    fputs(kUsage, stderr);
    return 64;
  }
  Report report;
  std::string scratch;
  const std::string dir = UnpackPackage(a.package, PackageForm::kByName, &report, &scratch);
  if (dir.empty()) {
    WriteFindings(report, stderr, false);
    return 2;
  }
  const int status = a.power_cut ? PowerCut(a, dir, scratch) : PlainRun(a, dir, scratch);
  fflush(stdout);
  RemoveScratch(scratch);
  return status;
}
