#include "Layout.h"

#include <regex.h>
#include <stdio.h>

#include "Report.h"

const char Layout::kHeader[] = "dev:    size   erasesize  name";

namespace {

struct Line {
  unsigned int index;  // N of "mtdN"
  Region part;
  long long erase;
};

// One "mtdN: SIZE ERASESIZE "NAME"" line; false when it is not one.
bool ParseLine(const std::string& text, Line* line) {
  unsigned int index = 0;
  unsigned long long size = 0, erase = 0;
  int pos = -1;
  if (sscanf(text.c_str(), "mtd%u: %llx %llx %n", &index, &size, &erase, &pos) != 3 || pos < 0) return false;
  std::string name = text.substr(static_cast<size_t>(pos));
  while (!name.empty() && (name.back() == ' ' || name.back() == '\r' || name.back() == '\t')) name.pop_back();
  if (name.size() < 2 || name.front() != '"' || name.back() != '"' || size == 0 || erase == 0) return false;
  line->index = index;
  line->part = {name.substr(1, name.size() - 2), 0, static_cast<long long>(size)};
  line->erase = static_cast<long long>(erase);
  return true;
}

bool ReadLines(const std::string& text, std::vector<Line>* lines, std::string* why) {
  size_t pos = 0;
  for (int number = 1; pos < text.size(); ++number) {
    const size_t end = text.find('\n', pos) == std::string::npos ? text.size() : text.find('\n', pos);
    const std::string raw = text.substr(pos, end - pos);
    pos = end + 1;
    if (raw.find_first_not_of(" \t\r") == std::string::npos || raw.compare(0, 4, "dev:") == 0) continue;
    Line line;
    if (!ParseLine(raw, &line)) {
      *why = Format("line %d is not \"mtdN: SIZE ERASESIZE \\\"NAME\\\"\"", number);
      return false;
    }
    if (!lines->empty() && line.erase != lines->front().erase) {
      *why = Format("line %d: eraseblock 0x%llx differs from the chip's 0x%llx", number, line.erase,
                    lines->front().erase);
      return false;
    }
    lines->push_back(line);
  }
  if (lines->empty()) *why = "no mtd lines";
  return !lines->empty();
}

}  // namespace

Layout Layout::Board() {
  Layout board;
  board.chip_size_ = 0x8000000;
  board.erase_size_ = 0x20000;
  board.Tile({{"env", 0x3c0000, 0x20000}});
  board.env_ = board.RegionAt(0x3c0000);
  board.proc_mtd_ = std::string(kHeader) + "\nmtd0: 08000000 00020000 \"NAND simulator partition 0\"\n";
  return board;
}

bool Layout::Parse(const std::string& text, Layout* layout, std::string* why) {
  std::vector<Line> lines;
  if (!ReadLines(text, &lines, why)) return false;
  long long rest = 0;
  for (size_t i = 1; i < lines.size(); ++i) rest += lines[i].part.size;
  const bool whole = lines.size() > 1 && lines[0].part.size >= rest;
  std::vector<Region> parts;
  long long at = 0, env_start = -1;
  for (size_t i = whole ? 1 : 0; i < lines.size(); ++i) {
    parts.push_back({lines[i].part.name, at, lines[i].part.size});
    if (lines[i].index == 4) env_start = at;
    at += lines[i].part.size;
  }
  layout->chip_size_ = whole ? lines[0].part.size : at;
  layout->erase_size_ = lines[0].erase;
  layout->Tile(parts);
  layout->env_ = env_start < 0 ? -1 : layout->RegionAt(env_start);
  // The board's "/proc/mtd" always begins with its header, and ifnpart's patterns see it.
  const bool headed = text.compare(0, 4, "dev:") == 0;
  layout->proc_mtd_ = headed ? text : std::string(kHeader) + "\n" + text;
  return true;
}

void Layout::Tile(const std::vector<Region>& parts) {
  regions_.clear();
  long long at = 0;
  for (const Region& p : parts) {
    if (p.start > at) regions_.push_back({"", at, p.start - at});
    regions_.push_back(p);
    at = p.start + p.size;
  }
  if (at < chip_size_) regions_.push_back({"", at, chip_size_ - at});
}

int Layout::RegionAt(long long offset) const {
  for (size_t i = 0; i < regions_.size(); ++i)
    if (offset >= regions_[i].start && offset < regions_[i].start + regions_[i].size)
      return static_cast<int>(i);
  return -1;
}

std::vector<std::string> Layout::Names(long long start, long long end) const {
  std::vector<std::string> names;
  for (const Region& r : regions_)
    if (!r.name.empty() && r.start < end && start < r.start + r.size) names.push_back(r.name);
  return names;
}

std::string Layout::Place(long long offset) const {
  const int i = RegionAt(offset);
  if (i < 0 || regions_[static_cast<size_t>(i)].name.empty()) return Format("the blocks at 0x%llx", offset);
  return Format("%s at 0x%llx", regions_[static_cast<size_t>(i)].name.c_str(), offset);
}

int Layout::Match(const std::string& pattern, std::string* matched) const {
  regex_t re;
  if (regcomp(&re, pattern.c_str(), REG_NOSUB) != 0) return -1;
  // Line by line as fwapply reads "/proc/mtd": up to each newline, the last line without one too.
  int found = 0;
  for (size_t pos = 0; pos < proc_mtd_.size() && !found;) {
    const size_t nl = proc_mtd_.find('\n', pos);
    const size_t stop = nl == std::string::npos ? proc_mtd_.size() : nl;
    const std::string line = proc_mtd_.substr(pos, stop - pos);
    if (regexec(&re, line.c_str(), 0, nullptr, 0) == 0) {
      *matched = line;
      found = 1;
    }
    pos = stop + 1;
  }
  regfree(&re);
  return found;
}
