#include "PowerCut.h"

#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "Report.h"
#include "ScriptCheck.h"
#include "UCrc32.h"
#include "UpgradeScript.h"
#include "sim_chip.h"

namespace {

std::string Bytes(sim::Chip& chip, uint64_t at, uint64_t len) {
  return std::string(reinterpret_cast<const char*>(chip.data(at)), len);
}

bool Unreadable(const sim::Chip& chip, uint64_t at, uint64_t len) {
  const uint64_t page = chip.geometry().page_size;
  for (uint64_t p = at / page; p < (at + len + page - 1) / page; ++p)
    if (chip.page_unreadable(p)) return true;
  return false;
}

// Value of NAME in the words of text or the entries of an environment block's data area.
std::string Variable(const std::string& entries, char separator, const std::string& name) {
  const std::string key = name + "=";
  for (size_t pos = 0; pos < entries.size();) {
    size_t end = entries.find(separator, pos);
    if (end == std::string::npos) end = entries.size();
    if (end == pos) break;
    if (entries.compare(pos, key.size(), key) == 0)
      return entries.substr(pos + key.size(), end - pos - key.size());
    pos = end + 1;
  }
  return "";
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> lines;
  FILE* f = fopen(path.c_str(), "r");
  if (!f) return lines;
  std::string line;
  for (int c; (c = fgetc(f)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines.push_back(line);
  fclose(f);
  return lines;
}

bool CrcOk(const std::string& block) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(block.data());
  const unsigned stored = b[0] | b[1] << 8 | b[2] << 16 | static_cast<unsigned>(b[3]) << 24;
  return stored == crc32(0, b + 4, static_cast<unsigned>(block.size() - 4));
}

// What one cut leaves, from the revived chip: the environment the boot loader reads, whether it
// selects another slot than before the run, and each written range against its old and new bytes.
struct Judge {
  const std::vector<CutRange>* ranges;
  std::vector<std::string> old_bytes, new_bytes;  // per range; index 0 unused for the environment
  std::string old_env, new_env, old_image;

  std::string operator()(sim::Chip& chip, int) const {
    const std::string block = Bytes(chip, kSimEnvAt, kSimEnvSize);
    std::string env = "lost";
    if (!Unreadable(chip, kSimEnvAt, kSimEnvSize) && CrcOk(block))
      env = block == old_env ? "old" : block == new_env ? "new" : "other";
    const bool switched = env != "lost" && Variable(block.substr(4), '\0', "image") != old_image;
    std::string text = env + (switched ? " 1" : " 0");
    for (size_t i = 0; i < ranges->size(); ++i) {
      const CutRange& r = (*ranges)[i];
      if (r.env) continue;
      const std::string now = Bytes(chip, r.start, r.size);
      const bool bad = Unreadable(chip, r.start, r.size);
      text += !bad && now == new_bytes[i] ? " new" : !bad && now == old_bytes[i] ? " old" : " partial";
    }
    return text;
  }
};

}  // namespace

namespace {}  // namespace

bool ScriptRanges(const SimOptions& options, const std::string& dir, const std::string& script,
                  std::vector<CutRange>* ranges) {
  Report report;
  CheckConfig config;
  CheckScript(config, dir, script, &report);
  if (report.scripts.empty()) return false;
  const std::vector<std::string> lines = Lines(dir + "/" + script);
  for (const RangeRow& row : report.scripts.back().rows) {
    if (row.size <= 0 || row.start < 0 || static_cast<uint64_t>(row.start) >= options.chip_size) continue;
    const uint64_t start = static_cast<uint64_t>(row.start);
    const uint64_t size = std::min<uint64_t>(static_cast<uint64_t>(row.size), options.chip_size - start);
    const std::string text =
        row.line >= 1 && static_cast<size_t>(row.line) <= lines.size() ? lines[row.line - 1] : "";
    ranges->push_back({row.line, text, start, size, start <= kSimEnvAt && kSimEnvAt < start + size});
  }
  return true;
}

namespace {

// The slot a script switches to: the value of its last "setenv ... image VALUE"; "" when none.
std::string SwitchesTo(const std::string& path) {
  std::string slot;
  for (const std::string& line : Lines(path)) {
    const StringList t = UpgradeScript::CutTokens(line);
    if (t.size() >= 5 && t[0] == "setenv" && t[3] == "image") slot = t[4];
  }
  return slot;
}

}  // namespace

void MarkOldSlot(const SimOptions& options, const std::string& dir, std::vector<CutRange>* ranges) {
  const std::string old = Variable(options.env, ' ', "image"), running = SlotScript(options);
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  std::vector<std::string> others;
  while (const dirent* e = readdir(d))
    if (strncmp(e->d_name, "fwupdate_", 9) == 0 && e->d_name != running) others.push_back(e->d_name);
  closedir(d);
  for (const std::string& other : others) {
    std::vector<CutRange> theirs;
    if (old.empty() || SwitchesTo(dir + "/" + other) != old || !ScriptRanges(options, dir, other, &theirs))
      continue;
    for (CutRange& r : *ranges)
      for (const CutRange& t : theirs)
        r.old_slot = r.old_slot || (!t.env && r.start < t.start + t.size && t.start < r.start + r.size);
  }
}

std::string SlotScript(const SimOptions& options) {
  const std::string image = Variable(options.env, ' ', "image");
  return image.empty() ? "" : "fwupdate_" + std::to_string(strtol(image.c_str(), nullptr, 10));
}

SimOptions Fitted(const SimOptions& options, const std::vector<CutRange>& ranges) {
  uint64_t end = 0;
  for (const CutRange& r : ranges) end = std::max(end, r.start + r.size);
  SimOptions fitted = options;
  fitted.backing = SimBacking(options, end);
  return fitted;
}

namespace {

// The script line each operation belongs to: lines run in order, so an operation belongs to the
// first range at or after the previous operation's that holds its address.
std::vector<int> OpRanges(const std::vector<CutRange>& ranges, const std::vector<uint64_t>& addresses) {
  std::vector<int> rows;
  size_t current = 0;
  for (uint64_t at : addresses) {
    int found = -1;
    for (size_t r = current; r < ranges.size() && found < 0; ++r)
      if (ranges[r].start <= at && at < ranges[r].start + ranges[r].size) found = static_cast<int>(r);
    if (found >= 0) current = static_cast<size_t>(found);
    rows.push_back(found);
  }
  return rows;
}

void AddPoint(CutMap* map, long long k, int range, uint64_t at, const std::string& result) {
  CutStretch point = {k, k, 1, range, at, at, "", {}, false, false, false};
  size_t pos = result.find(' ');
  point.env = result.substr(0, pos);
  const bool switched = pos != std::string::npos && result.compare(pos + 1, 1, "1") == 0;
  // The slot the boot loader picks must hold its ranges whole: the new ones once switched, the
  // old slot's untouched otherwise.
  bool broken = false;
  size_t r = 0;
  for (pos = result.find(' ', pos + 1); pos != std::string::npos; pos = result.find(' ', pos + 1)) {
    point.states.push_back(result.substr(pos + 1, result.find(' ', pos + 1) - pos - 1));
    while (map->ranges[r].env) ++r;
    const bool old_slot = map->ranges[r++].old_slot;
    broken = broken || (switched ? !old_slot && point.states.back() != "new"
                                 : old_slot && point.states.back() != "old");
  }
  point.defaults = point.env == "lost";
  point.partial_slot = !point.defaults && broken;
  point.switched = switched;
  ++map->points;
  map->on_defaults += point.defaults;
  map->on_partial_slot += point.partial_slot;
  CutStretch* last = map->stretches.empty() ? nullptr : &map->stretches.back();
  if (last && last->range == range && last->env == point.env && last->states == point.states &&
      last->partial_slot == point.partial_slot && last->switched == point.switched) {
    last->last = k;
    last->last_at = at;
    ++last->points;
    return;
  }
  map->stretches.push_back(point);
}

// Every cut point's run, judged, into map.
void CutRuns(const SimOptions& options, sim::Chip& chip, const std::string& dir, const std::string& scratch,
             const SimAfter& judged, const std::vector<uint64_t>& addresses, CutMap* map) {
  const std::vector<int> rows = OpRanges(map->ranges, addresses);
  // Runs wait mostly on the kernel: one at a time for each processor keeps them all busy.
  const size_t lanes = static_cast<size_t>(std::max(1L, std::min(8L, sysconf(_SC_NPROCESSORS_ONLN))));
  std::vector<std::string> dirs;
  for (size_t i = 0; i < lanes; ++i) {
    dirs.push_back(scratch + "/lane" + std::to_string(i));
    mkdir(dirs.back().c_str(), 0700);
  }
  std::deque<std::pair<long long, SimPending>> pending;
  for (long long k = 0; static_cast<uint64_t>(k) < map->ops || !pending.empty(); k += map->every) {
    if (static_cast<uint64_t>(k) < map->ops)
      pending.push_back(
          {k, SimStart(options, chip, dir, dirs[static_cast<size_t>(k / map->every) % lanes], k, judged)});
    if (pending.size() < lanes && static_cast<uint64_t>(k) < map->ops) continue;
    const size_t done = static_cast<size_t>(pending.front().first);
    const SimRun run = SimWait(pending.front().second);
    pending.pop_front();
    AddPoint(map, static_cast<long long>(done), rows[done], addresses[done], run.result);
  }
}

}  // namespace

bool PowerCutMap(const SimOptions& given, const std::string& dir, const std::string& scratch, long long every,
                 CutMap* map, std::string* why) {
  map->script = SlotScript(given);
  if (map->script.empty()) {
    *why = "the environment has no image variable: fwapply runs no script";
    return false;
  }
  map->every = every < 1 ? 1 : every;
  if (!ScriptRanges(given, dir, map->script, &map->ranges)) {
    *why = map->script + " cannot be read";
    return false;
  }
  MarkOldSlot(given, dir, &map->ranges);
  const SimOptions options = Fitted(given, map->ranges);
  map->eb_size = SimGeometry(options).eb_size;
  sim::Chip chip(SimGeometry(options));
  SimPrepare(options, &chip);
  Judge judge;
  judge.ranges = &map->ranges;
  judge.old_env = SimEnvBlock(options.env);
  judge.old_image = Variable(options.env, ' ', "image");
  for (const CutRange& r : map->ranges) judge.old_bytes.push_back(Bytes(chip, r.start, r.size));
  const std::vector<CutRange>& ranges = map->ranges;
  const SimAfter whole = [&ranges](sim::Chip& c, int) {
    std::string out =
        Format("%20llu", static_cast<unsigned long long>(c.ops())) + Bytes(c, kSimEnvAt, kSimEnvSize);
    for (const CutRange& r : ranges) out += Bytes(c, r.start, r.size);
    return out;
  };
  const SimRun reference = SimRunOnce(options, chip, dir, scratch, -1, whole, true);
  map->status = reference.status;
  map->ops = reference.op_addresses.size();
  // The cut points name operations by the kernel's record: it must count what the chip counts.
  if (reference.result.size() < 20 + kSimEnvSize ||
      strtoull(reference.result.c_str(), nullptr, 10) != chip.ops() + map->ops) {
    *why = "the uncut run did not finish, or its operations could not be told apart";
    return false;
  }
  judge.new_env = reference.result.substr(20, kSimEnvSize);
  size_t at = 20 + kSimEnvSize;
  for (const CutRange& r : ranges) {
    judge.new_bytes.push_back(reference.result.substr(at, r.size));
    at += r.size;
  }
  const SimAfter judged = [&judge](sim::Chip& c, int status) { return judge(c, status); };
  CutRuns(options, chip, dir, scratch, judged, reference.op_addresses, map);
  return true;
}

namespace {

std::string Boots(const CutStretch& s) {
  if (s.defaults) return "DEFAULTS (environment lost)";
  if (s.partial_slot) return "PARTIAL SLOT";
  return s.switched ? "new slot" : "old slot";
}

std::string Where(const CutMap& map, const CutStretch& s, uint64_t eb) {
  if (s.range < 0) return "?";
  const CutRange& r = map.ranges[static_cast<size_t>(s.range)];
  return Format("%d %s [blocks %llu-%llu]", r.line, r.text.c_str(),
                static_cast<unsigned long long>(s.first_at / eb),
                static_cast<unsigned long long>(s.last_at / eb));
}

std::string States(const CutMap& map, const CutStretch& s) {
  std::string text;
  size_t i = 0;
  for (const CutRange& r : map.ranges) {
    if (r.env || i >= s.states.size()) continue;
    text += Format("%s%s %s", text.empty() ? "" : ", ", Hex(static_cast<long long>(r.start)).c_str(),
                   s.states[i++].c_str());
  }
  return text.empty() ? "-" : text;
}

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20)
      out += Format("\\u%04x", c);
    else
      out += c;
  }
  return out + "\"";
}

}  // namespace

void WriteCutMap(const CutMap& map, FILE* out) {
  const uint64_t eb = map.eb_size ? map.eb_size : 1;
  fprintf(out,
          "power-cut map of %s: %llu erases and page programs (fwapply status %d uncut), a cut after every "
          "%lld\n",
          map.script.c_str(), static_cast<unsigned long long>(map.ops), map.status, map.every);
  fprintf(out, "%-13s %-6s %-34s %s\n", "cut points", "env", "ranges",
          "board boots / script line [blocks cut]");
  for (const CutStretch& s : map.stretches) {
    const std::string points = Format("%lld-%lld", s.first, s.last);
    fprintf(out, "%-13s %-6s %-34s %s\n  %s\n", points.c_str(), s.env.c_str(), States(map, s).c_str(),
            Boots(s).c_str(), Where(map, s, eb).c_str());
  }
  fprintf(out, "cut points: %zu; on defaults: %zu; selecting a partial slot: %zu\n", map.points,
          map.on_defaults, map.on_partial_slot);
}

void WriteCutJson(const CutMap& map, FILE* out) {
  fprintf(out, "{\"script\": %s, \"status\": %d, \"operations\": %llu, \"every\": %lld, \"points\": %zu, ",
          JsonText(map.script).c_str(), map.status, static_cast<unsigned long long>(map.ops), map.every,
          map.points);
  fprintf(out, "\"on_defaults\": %zu, \"on_partial_slot\": %zu, \"ranges\": [", map.on_defaults,
          map.on_partial_slot);
  for (size_t i = 0; i < map.ranges.size(); ++i) {
    const CutRange& r = map.ranges[i];
    fprintf(out, "%s{\"line\": %d, \"text\": %s, \"start\": %llu, \"size\": %llu, \"env\": %s}",
            i ? ", " : "", r.line, JsonText(r.text).c_str(), static_cast<unsigned long long>(r.start),
            static_cast<unsigned long long>(r.size), r.env ? "true" : "false");
  }
  fprintf(out, "], \"stretches\": [");
  for (size_t i = 0; i < map.stretches.size(); ++i) {
    const CutStretch& s = map.stretches[i];
    const int line = s.range < 0 ? 0 : map.ranges[static_cast<size_t>(s.range)].line;
    fprintf(out,
            "%s\n  {\"first\": %lld, \"last\": %lld, \"points\": %zu, \"line\": %d, \"first_at\": %llu, ",
            i ? "," : "", s.first, s.last, s.points, line, static_cast<unsigned long long>(s.first_at));
    fprintf(out,
            "\"last_at\": %llu, \"env\": %s, \"switched\": %s, \"defaults\": %s, \"partial_slot\": %s, "
            "\"ranges\": [",
            static_cast<unsigned long long>(s.last_at), JsonText(s.env).c_str(),
            s.switched ? "true" : "false", s.defaults ? "true" : "false", s.partial_slot ? "true" : "false");
    for (size_t r = 0; r < s.states.size(); ++r)
      fprintf(out, "%s%s", r ? ", " : "", JsonText(s.states[r]).c_str());
    fprintf(out, "]}");
  }
  fprintf(out, "\n]}\n");
}

bool WriteCutSvg(const CutMap& map, const std::string& path) {
  FILE* out = fopen(path.c_str(), "w");
  if (!out) return false;
  const double width = 1000, scale = map.ops ? width / static_cast<double>(map.ops) : 1;
  fprintf(out,
          "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" font-family=\"monospace\" "
          "font-size=\"11\">\n",
          static_cast<int>(width) + 20, 140);
  int label = 0;
  for (const CutStretch& s : map.stretches) {
    const char* colour = s.defaults       ? "#d62728"
                         : s.partial_slot ? "#ff7f0e"
                         : !s.switched    ? "#1f77b4"
                                          : "#2ca02c";
    const double x = 10 + static_cast<double>(s.first) * scale;
    const double w = std::max(1.0, static_cast<double>(s.last - s.first + map.every) * scale);
    fprintf(out,
            "<rect x=\"%.1f\" y=\"30\" width=\"%.1f\" height=\"40\" fill=\"%s\"><title>cuts %lld-%lld: "
            "%s</title></rect>\n",
            x, w, colour, s.first, s.last, Boots(s).c_str());
    const bool new_line = s.range >= 0 && (&s == &map.stretches.front() || (&s - 1)->range != s.range);
    if (!new_line) continue;
    fprintf(out, "<line x1=\"%.1f\" y1=\"25\" x2=\"%.1f\" y2=\"75\" stroke=\"black\"/>\n", x, x);
    fprintf(out, "<text x=\"%.1f\" y=\"%d\">line %d</text>\n", x + 2, 90 + 14 * (label++ % 3),
            map.ranges[static_cast<size_t>(s.range)].line);
  }
  fprintf(
      out,
      "<text x=\"10\" y=\"18\">%s: blue old slot, green new slot, orange partial slot, red defaults</text>\n",
      map.script.c_str());
  fprintf(out, "</svg>\n");
  return fclose(out) == 0;
}
