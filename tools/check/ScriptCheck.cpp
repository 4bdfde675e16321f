#include "ScriptCheck.h"

#include <assert.h>
#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "UTextUtil.h"
#include "UpgradeScript.h"

namespace {

const long long kEraseBlock = UpgradeScript::kEraseBlockSize;
const long long kPage = Layout::kPageSize;
const long long kOobRecord = Layout::kPageSize + 32;
// The boot loader's variable that picks the slot fwapply runs next time.
const char kSlotVariable[] = "image";

// The script as the run sees it: lines, growing where an ifnpart puts its rest in, each with
// the number of the file line it came from.
struct Lines {
  StringList text;
  std::vector<int> numbers;
};

// The erase a line does: [start, end), blocks of kEraseBlock each (the end of the chip when the
// length is below one eraseblock).
struct Span {
  long long start = 0, end = 0, blocks = 0;
  bool to_chip_end = false;
};

// A line that erased or wrote a range, for the overlap check.
struct Erased {
  int line;
  Span span;
  bool writes;
  bool env;
};

// Numbers of the file lines that CutLines made: CR LF, a lone CR and a lone LF each end one.
std::vector<int> LineNumbers(const std::string& text, const StringList& lines) {
  std::vector<int> numbers;
  size_t pos = 0;
  int number = 1;
  for (const std::string& line : lines) {
    for (; text[pos] == '\r' || text[pos] == '\n'; ++pos)
      if (text[pos] == '\n' || text[pos + 1] != '\n') ++number;
    assert(text.compare(pos, line.size(), line) == 0);
    numbers.push_back(number);
    pos += line.size();
  }
  return numbers;
}

// A word that ParseHex reads whole: sign, "0x", hex digits, and the "h" some authors append.
bool WholeHex(const std::string& word) {
  size_t i = word.find_first_not_of("+-") == 1 ? 1 : 0;
  if (word.compare(i, 2, "0x") == 0 || word.compare(i, 2, "0X") == 0) i += 2;
  const size_t digits = word.find_first_not_of("0123456789abcdefABCDEF", i);
  if (digits == i) return false;
  return digits == std::string::npos ||
         (digits + 1 == word.size() && (word[digits] == 'h' || word[digits] == 'H'));
}

enum class FileKind { kRegular, kMissing, kOutside, kLink, kOther };

struct FileLook {
  FileKind kind = FileKind::kMissing;
  std::string at;  // the part of the path that is a link, or missing
  long long size = 0;
  bool climbs = false;
};

// A file named by a script, walked as fwapply opens it: a name at a time from the package, no
// link followed, ".." never above the package.
FileLook LookUp(const std::string& dir, const std::string& name) {
  FileLook look;
  StringList parts, real;
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  UTextUtil::split(path.data(), "/", parts);
  struct stat st;
  for (const std::string& part : parts) {
    if (part == ".") continue;
    look.climbs = look.climbs || part == "..";
    if (part == ".." && real.empty()) {
      look.kind = FileKind::kOutside;
      return look;
    }
    if (part == "..") {
      real.pop_back();
      continue;
    }
    real.push_back(part);
    look.at = UTextUtil::implode(real, "/");
    if (lstat((dir + "/" + look.at).c_str(), &st) != 0) return look;
    if (S_ISLNK(st.st_mode)) {
      look.kind = FileKind::kLink;
      return look;
    }
  }
  look.at = UTextUtil::implode(real, "/");
  const bool regular = !real.empty() && lstat((dir + "/" + look.at).c_str(), &st) == 0 && S_ISREG(st.st_mode);
  look.kind = regular ? FileKind::kRegular : FileKind::kOther;
  look.size = regular ? static_cast<long long>(st.st_size) : 0;
  return look;
}

class ScriptChecker {
 public:
  ScriptChecker(const CheckConfig& config, const std::string& dir, const std::string& name)
      : config_(config), layout_(config.layout), dir_(dir), name_(name) {}
  void Check(Report* report);

 private:
  struct Rule {
    const char* key;
    void (ScriptChecker::*check)(Lines& lines, size_t index, const StringList& t);
  };
  static const Rule kRules[];

  void Add(Severity severity, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void AddAt(int line, Severity severity, const std::string& message);
  bool Load();
  void Walk();
  void Line(Lines& lines, size_t index);
  void Budget(const UpgradeScript::Command* command, Lines& lines, size_t index, const StringList& t);
  bool Complete(const UpgradeScript::Command* command, const StringList& t);
  void Extra(const StringList& t, size_t words);
  long long Number(const std::string& word);
  bool Range(long long start, long long length, Span* span);
  void Crossing(const Span& span);
  bool Image(const std::string& file, long long* size);
  long long Fill(const std::string& what, bool oob, long long pages, const Span& span);
  bool Source(long long start, long long length);
  long long ImageBlocks(const std::string& what, bool oob, long long size, long long length,
                        const Span& span);
  long long CopyBlocks(long long source_start, long long source_length, long long length, const Span& span);
  void Row(const std::string& command, const Span& span, long long data);
  void Mark(const Span& span, bool writes, bool env);
  void MayFail(const std::string& command);
  void SlotSwitch(const std::string& value);
  void EnvPlace(const Span& span);

  void CheckImage(Lines& lines, size_t index, const StringList& t);
  void CheckDupOob(Lines& lines, size_t index, const StringList& t);
  void CheckErase(Lines& lines, size_t index, const StringList& t);
  void CheckSetEnv(Lines& lines, size_t index, const StringList& t);
  void CheckVersion(Lines& lines, size_t index, const StringList& t);
  void CheckConditional(Lines& lines, size_t index, const StringList& t);

  const CheckConfig& config_;
  const Layout& layout_;
  const std::string dir_, name_;
  UpgradeScript script_;
  std::vector<Finding> findings_;
  ScriptSummary summary_;
  int line_ = 0;  // the file line being checked
  long long budget_ = 0;
  bool looks_up_ = false;  // an ifnpart would make the engine's own budget read "/proc/mtd"
  int commands_ = 0;
  int skipped_ = 0;  // first line the run skips and goes on past
  int flash_ = 0;    // first line that changes the flash
  int switch_ = 0;   // last setenv that switches the slot, until a line that can fail is met
  std::string switch_value_;
  std::vector<Erased> marks_;
};

// What fwcheck checks of each command of the engine's table.
const ScriptChecker::Rule ScriptChecker::kRules[] = {
    {"write", &ScriptChecker::CheckImage},         {"writeoob", &ScriptChecker::CheckImage},
    {"dupoob", &ScriptChecker::CheckDupOob},       {"erase", &ScriptChecker::CheckErase},
    {"setenv", &ScriptChecker::CheckSetEnv},       {"chkver", &ScriptChecker::CheckVersion},
    {"ifnpart", &ScriptChecker::CheckConditional},
};

void ScriptChecker::Add(Severity severity, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  AddAt(line_, severity, VFormat(format, ap));
  va_end(ap);
}

void ScriptChecker::AddAt(int line, Severity severity, const std::string& message) {
  findings_.push_back({name_, line, severity, message});
}

void ScriptChecker::Check(Report* report) {
  summary_.name = name_;
  summary_.budget = -1;
  if (Load()) Walk();
  std::stable_sort(findings_.begin(), findings_.end(),
                   [](const Finding& a, const Finding& b) { return a.line < b.line; });
  report->findings.insert(report->findings.end(), findings_.begin(), findings_.end());
  report->Add(name_, 0, Severity::kNote, "fwapply prints \"Total Block to Write = %lld\"", summary_.budget);
  report->scripts.push_back(summary_);
}

bool ScriptChecker::Load() {
  script_.m_sScriptDir = dir_;
  if (script_.LoadFile(name_.c_str()) == 0) return true;
  const std::string path = dir_ + "/" + name_;
  struct stat st;
  const bool found = lstat(path.c_str(), &st) == 0;
  const char* why = "the script cannot be read";
  if (found && S_ISLNK(st.st_mode))
    why = "the script is a link";
  else if (found && !S_ISREG(st.st_mode))
    why = "the script is not a regular file";
  else if (found && st.st_size > static_cast<off_t>(UpgradeScript::kScriptLimit))
    why = "the script is longer than 1 MiB";
  else if (found && access(path.c_str(), R_OK) == 0)
    why = "the script holds a NUL byte";
  Add(Severity::kError, "%s: fwapply refuses the package (\"fail to open %s, badimage, abort\")", why,
      name_.c_str());
  return false;
}

void ScriptChecker::Walk() {
  const std::string& text = script_.m_sScript;
  if (text.empty()) {
    Add(Severity::kError,
        "the script is empty: fwapply prints \"Total Block to Write = -1\" and never \"finish\"");
    return;
  }
  if (text.size() >= UpgradeScript::kWorkSize)
    Add(Severity::kWarning,
        "the script is %zu bytes, over the format's %u: fwapply runs it whole, but an updater "
        "that keeps to the format cuts it",
        text.size(), UpgradeScript::kWorkSize - 1);
  Lines lines{script_.CutLines(), {}};
  lines.numbers = LineNumbers(text, lines.text);
  for (size_t i = 0; i < lines.text.size(); ++i) {
    line_ = lines.numbers[i];
    if (lines.text[i].size() >= UpgradeScript::kLineSize)
      Add(Severity::kWarning,
          "the line is %zu characters, over the format's %u: fwapply runs it whole, but an "
          "updater that keeps to the format cuts it",
          lines.text[i].size(), UpgradeScript::kLineSize - 1);
  }
  for (size_t i = 0; i < lines.text.size(); ++i) Line(lines, i);
  line_ = 0;
  if (commands_ == 0) Add(Severity::kWarning, "the script holds no command: fwapply only prints \"finish\"");
  summary_.budget = looks_up_ ? budget_ : script_.GetBlockNumToWrite();
}

void ScriptChecker::Line(Lines& lines, size_t index) {
  line_ = lines.numbers[index];
  // A copy: an ifnpart inserts into the list, which may move its strings.
  const StringList t = UpgradeScript::CutTokens(std::string(lines.text[index]));
  if (t.empty()) return;
  ++commands_;
  const UpgradeScript::Command* command = UpgradeScript::FindCommand(t[0]);
  Budget(command, lines, index, t);
  if (!Complete(command, t)) return;
  for (const Rule& rule : kRules) {
    if (t[0] == rule.key) return (this->*rule.check)(lines, index, t);
  }
  Add(Severity::kNote, "fwcheck does not know what \"%s\" does to the flash: the line is not checked",
      t[0].c_str());
}

// The engine's budget, line by line from its own table. Only ifnpart is left to the walk: the
// engine would ask the host's "/proc/mtd" instead of the layout's.
void ScriptChecker::Budget(const UpgradeScript::Command* command, Lines& lines, size_t index,
                           const StringList& t) {
  if (!command || !command->blocks || t.size() < command->budget_words) return;
  if (t[0] == "ifnpart") {
    looks_up_ = looks_up_ || t.size() >= 2;
    return;
  }
  budget_ += (script_.*command->blocks)(lines.text, index, t);
}

bool ScriptChecker::Complete(const UpgradeScript::Command* command, const StringList& t) {
  if (command && t.size() >= command->words) return true;
  if (!skipped_) skipped_ = line_;
  if (!command) {
    std::string lower = t[0];
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    Add(Severity::kError, "unknown command \"%s\"%s: fwapply reports it and goes on with the next line",
        t[0].c_str(), UpgradeScript::FindCommand(lower) ? " (commands are lower case)" : "");
    return false;
  }
  Add(Severity::kError, "incomplete \"%s\" line: %zu words of the %zu it needs; fwapply skips it and goes on",
      t[0].c_str(), t.size(), command->words);
  return false;
}

void ScriptChecker::Extra(const StringList& t, size_t words) {
  if (t.size() > words) Add(Severity::kWarning, "the words after \"%s\" are ignored", t[words - 1].c_str());
}

long long ScriptChecker::Number(const std::string& word) {
  const int value = UpgradeScript::ParseHex(word.c_str());
  if (!WholeHex(word))
    Add(Severity::kWarning,
        "number \"%s\" reads as %s: fwapply reads hexadecimal digits up to the first other "
        "character",
        word.c_str(), Hex(value).c_str());
  return value;
}

// The engine's range check (it refuses the line when false), and the traps of a range it takes.
bool ScriptChecker::Range(long long start, long long length, Span* span) {
  const long long chip = layout_.chip_size(), end = start + length;
  if (start < 0 || length < 0 || start >= chip || (length >= kEraseBlock && end > chip)) {
    Add(Severity::kError, "range %s+%s is outside the 0x%llx-byte chip: fwapply refuses the line",
        Hex(start).c_str(), Hex(length).c_str(), chip);
    return false;
  }
  if (start % layout_.erase_size() != 0) {
    Add(Severity::kError, "start %s is not on an eraseblock boundary: fwapply refuses the line",
        Hex(start).c_str());
    return false;
  }
  span->start = start;
  span->blocks = length / kEraseBlock;
  span->to_chip_end = span->blocks == 0;
  span->end = span->to_chip_end ? chip : start + span->blocks * kEraseBlock;
  if (span->to_chip_end) {
    Add(Severity::kError, "erase length %s is below one eraseblock: erases from %s to the end of the chip",
        Hex(length).c_str(), Hex(start).c_str());
    span->blocks = (chip - start + kEraseBlock - 1) / kEraseBlock;
    return true;
  }
  if (length % kEraseBlock != 0)
    Add(Severity::kWarning,
        "length %s is not whole eraseblocks: the last %s bytes of the range are not erased",
        Hex(length).c_str(), Hex(length % kEraseBlock).c_str());
  // A script written with partition offsets starts at 0: the chip's first block.
  if (start == 0)
    Add(Severity::kWarning,
        "range 0x0\xE2\x80\x93%s begins at the chip's first byte, where boards keep their boot loader: "
        "offsets "
        "address the whole chip, not a partition",
        Hex(span->end - 1).c_str());
  Crossing(*span);
  return true;
}

void ScriptChecker::Crossing(const Span& span) {
  const int first = layout_.RegionAt(span.start);
  if (first < 0 || layout_.RegionAt(span.end - 1) == first) return;
  const Region& next = layout_.regions()[static_cast<size_t>(first) + 1];
  Add(Severity::kError, "range %s\xE2\x80\x93%s crosses a partition boundary into %s",
      Hex(span.start).c_str(), Hex(span.end - 1).c_str(), layout_.Place(next.start).c_str());
}

// A file that the line writes; false (with the finding) when fwapply could not use it.
bool ScriptChecker::Image(const std::string& file, long long* size) {
  if (!file.empty() && file[0] == '/') {
    Add(Severity::kError,
        "image \"%s\" is an absolute path: fwapply reads %s inside the package, not the "
        "board's file",
        file.c_str(), file.c_str());
    return false;
  }
  const FileLook look = LookUp(dir_, file);
  if (look.climbs && look.kind != FileKind::kOutside)
    Add(Severity::kWarning, "image path \"%s\" holds \"..\": name the file by its plain path", file.c_str());
  if (look.kind == FileKind::kRegular) {
    *size = look.size;
    return true;
  }
  std::string why = "is not a regular file: fwapply refuses the line and the run stops";
  if (look.kind == FileKind::kMissing) why = "is not in the package: fwapply stops the run here";
  if (look.kind == FileKind::kOutside)
    why = "lies outside the package: fwapply refuses the line and the run stops";
  if (look.kind == FileKind::kLink)
    why = Format("is reached through the link \"%s\": fwapply refuses the line and the run stops",
                 look.at.c_str());
  Add(Severity::kError, "image \"%s\" %s", file.c_str(), why.c_str());
  return false;
}

// Eraseblocks the data fills, with the findings of a range too small or without spare blocks.
long long ScriptChecker::Fill(const std::string& what, bool oob, long long pages, const Span& span) {
  const long long per_block = layout_.erase_size() / kPage;
  const long long data = (pages + per_block - 1) / per_block;
  if (span.to_chip_end) return data;
  const long long spare = span.blocks - data;
  const long long want = static_cast<long long>(std::ceil(span.blocks * config_.spare_percent / 100 - 1e-9));
  const std::string next = layout_.Place(span.end);
  std::string names = UTextUtil::implode(layout_.Names(span.start, span.end), "+");
  if (!names.empty()) names = ": " + names;
  if (spare < 0 && oob)
    Add(Severity::kError,
        "%s needs %lld eraseblocks but its range holds %lld: fwapply erases the range and then "
        "refuses the line",
        what.c_str(), data, span.blocks);
  if (spare < 0 && !oob)
    Add(Severity::kError,
        "%s needs %lld eraseblocks but its range holds %lld: writes %s\xE2\x80\x93%s%s, and "
        "spills into %s",
        what.c_str(), data, span.blocks, Hex(span.start).c_str(),
        Hex(span.start + data * layout_.erase_size() - 1).c_str(), names.c_str(), next.c_str());
  if (spare >= 0 && spare < want)
    Add(Severity::kWarning,
        "%s leaves %lld of its %lld eraseblocks spare, fewer than the %g %% margin (%lld) for "
        "bad blocks: one bad block more and %s",
        what.c_str(), spare, span.blocks, config_.spare_percent, want,
        oob ? "fwapply erases the range and refuses the line" : ("it spills into " + next).c_str());
  return data;
}

bool ScriptChecker::Source(long long start, long long length) {
  const long long chip = layout_.chip_size();
  if (start < 0 || length < 0 || start >= chip || start + length > chip) {
    Add(Severity::kError, "source %s+%s is outside the 0x%llx-byte chip: fwapply refuses the line",
        Hex(start).c_str(), Hex(length).c_str(), chip);
    return false;
  }
  if (start % kPage != 0) {
    Add(Severity::kError,
        "source start %s is not on a page boundary: the copy fails with \"dump data failed,"
        "abort!\" and fwapply ends with status 1",
        Hex(start).c_str());
    return false;
  }
  if (length == 0)
    Add(Severity::kWarning, "source length 0 copies from %s to the end of the chip", Hex(start).c_str());
  return true;
}

void ScriptChecker::Row(const std::string& command, const Span& span, long long data) {
  summary_.rows.push_back({line_, command, span.start, span.end - span.start,
                           layout_.Names(span.start, span.end), span.blocks, data});
}

// A line that will erase its range (and write it when writes is set). It must not erase what an
// earlier line wrote; two setenv lines may share a block, as the second reads back the first.
void ScriptChecker::Mark(const Span& span, bool writes, bool env) {
  if (!flash_) flash_ = line_;
  if (span.to_chip_end) return;
  for (const Erased& m : marks_) {
    if (!m.writes || m.span.end <= span.start || span.end <= m.span.start || (env && m.env)) continue;
    Add(Severity::kError,
        "range %s\xE2\x80\x93%s overlaps line %d's %s\xE2\x80\x93%s: this line erases what "
        "line %d wrote",
        Hex(span.start).c_str(), Hex(span.end - 1).c_str(), m.line, Hex(m.span.start).c_str(),
        Hex(m.span.end - 1).c_str(), m.line);
    break;
  }
  marks_.push_back({line_, span, writes, env});
}

// A line that can stop the run after the slot was switched leaves the board on a slot that
// was not completely written: the switch must come last.
void ScriptChecker::MayFail(const std::string& command) {
  if (!switch_) return;
  AddAt(
      switch_, Severity::kError,
      Format("setenv %s=%s switches the slot before line %d (%s), which can still fail: the board would then "
             "boot a slot that was not completely written; switch the slot last",
             kSlotVariable, switch_value_.c_str(), line_, command.c_str()));
  switch_ = 0;
}

void ScriptChecker::SlotSwitch(const std::string& value) {
  char* end = nullptr;
  strtoll(value.c_str(), &end, 10);
  if (end == value.c_str())
    Add(Severity::kWarning, "%s=%s is no slot number: the next run looks for fwupdate_0", kSlotVariable,
        value.c_str());
  if (skipped_)
    Add(Severity::kError,
        "setenv %s=%s switches the slot although line %d was skipped: fwapply goes on past a "
        "line it cannot read",
        kSlotVariable, value.c_str(), skipped_);
  switch_ = line_;
  switch_value_ = value;
}

void ScriptChecker::EnvPlace(const Span& span) {
  if (layout_.env() < 0 || span.to_chip_end) return;
  const Region& env = layout_.regions()[static_cast<size_t>(layout_.env())];
  if (span.start >= env.start && span.end <= env.start + env.size) return;
  Add(Severity::kWarning,
      "setenv writes %s\xE2\x80\x93%s, not the boot environment %s (%s\xE2\x80\x93%s) that "
      "the boot loader and fwapply read",
      Hex(span.start).c_str(), Hex(span.end - 1).c_str(), env.name.c_str(), Hex(env.start).c_str(),
      Hex(env.start + env.size - 1).c_str());
}

// Eraseblocks the image fills; -1 when fwapply refuses it before erasing anything.
long long ScriptChecker::ImageBlocks(const std::string& what, bool oob, long long size, long long length,
                                     const Span& span) {
  if (oob && size % kOobRecord != 0) {
    Add(Severity::kError,
        "%s (%lld bytes) is not a whole number of %lld-byte records: fwapply refuses the line", what.c_str(),
        size, kOobRecord);
    return -1;
  }
  const long long pages = oob ? size / kOobRecord : (size + kPage - 1) / kPage;
  const long long room = oob && length != 0 ? length : layout_.chip_size() - span.start;
  if (pages * kPage > room) {
    Add(Severity::kError,
        "%s holds %s bytes of pages, more than the %s it may fill: fwapply refuses the line", what.c_str(),
        Hex(pages * kPage).c_str(), Hex(room).c_str());
    return -1;
  }
  if (size == 0) Add(Severity::kWarning, "%s is empty: the line only erases its range", what.c_str());
  return Fill(what, oob, pages, span);
}

long long ScriptChecker::CopyBlocks(long long source_start, long long source_length, long long length,
                                    const Span& span) {
  if (!Source(source_start, source_length)) return -1;
  const long long bytes = source_length ? source_length : layout_.chip_size() - source_start;
  const long long pages = (bytes + kPage - 1) / kPage;
  const long long room = length != 0 ? length : layout_.chip_size() - span.start;
  if (pages * kPage <= room) return Fill("the copy", true, pages, span);
  Add(Severity::kError,
      "the copy holds %s bytes of pages, more than the %s it may fill: fwapply refuses the line",
      Hex(pages * kPage).c_str(), Hex(room).c_str());
  return -1;
}

void ScriptChecker::CheckImage(Lines&, size_t, const StringList& t) {
  const bool oob = t[0] == "writeoob";
  Extra(t, 4);
  const long long start = Number(t[1]), length = Number(t[2]);
  Span span;
  const bool ranged = Range(start, length, &span);
  long long size = 0;
  const bool usable = Image(t[3], &size);
  MayFail(t[0]);
  if (!ranged) return;
  const std::string what = Format("%simage \"%s\"", oob ? "OOB " : "", t[3].c_str());
  const long long data = usable ? ImageBlocks(what, oob, size, length, span) : -1;
  Row(t[0], span, data);
  // An OOB image that does not fit the blocks is refused only after the erase.
  if (data >= 0) Mark(span, !oob || span.to_chip_end || data <= span.blocks, false);
}

void ScriptChecker::CheckDupOob(Lines&, size_t, const StringList& t) {
  Extra(t, 5);
  const long long start = Number(t[1]), length = Number(t[2]);
  const long long source_length = Number(t[3]), source_start = Number(t[4]);
  Span span;
  const bool ranged = Range(start, length, &span);
  MayFail(t[0]);
  if (!ranged) return;
  const long long data = CopyBlocks(source_start, source_length, length, span);
  Row(t[0], span, data);
  if (data >= 0) Mark(span, span.to_chip_end || data <= span.blocks, false);
}

void ScriptChecker::CheckErase(Lines&, size_t, const StringList& t) {
  Extra(t, 3);
  const long long start = Number(t[1]), length = Number(t[2]);
  Span span;
  if (!Range(start, length, &span)) return;
  Row(t[0], span, -1);
  Mark(span, false, false);
}

void ScriptChecker::CheckSetEnv(Lines&, size_t, const StringList& t) {
  const long long start = Number(t[1]), length = Number(t[2]);
  Span span;
  const bool ranged = Range(start, length, &span);
  if (t[3].find('=') != std::string::npos)
    Add(Severity::kError, "variable name \"%s\" holds \"=\": fwapply refuses the line", t[3].c_str());
  if (ranged) EnvPlace(span);
  if (t[3] == kSlotVariable) SlotSwitch(UTextUtil::implode(StringList(t.begin() + 4, t.end()), " "));
  if (!ranged) return;
  Row(t[0], span, 1);
  if (t[3].find('=') == std::string::npos) Mark(span, true, true);
}

void ScriptChecker::CheckVersion(Lines&, size_t, const StringList& t) {
  Extra(t, 3);
  int major = 0, minor = 0, used = 0;
  if (sscanf(t[2].c_str(), "%d.%d%n", &major, &minor, &used) < 2)
    Add(Severity::kError,
        "version \"%s\" is not MAJOR.MINOR: chkver stops the run here and no line after it "
        "runs",
        t[2].c_str());
  else if (t[2][static_cast<size_t>(used)] != '\0')
    Add(Severity::kWarning, "version \"%s\" is read as %d.%d: only major and minor are compared",
        t[2].c_str(), major, minor);
  if (t[1][0] != '/')
    Add(Severity::kWarning,
        "version file \"%s\" is a relative path: fwapply reads it from its own working "
        "directory, not from the package",
        t[1].c_str());
  if (flash_)
    Add(Severity::kWarning,
        "chkver comes after line %d, which already changed the flash: a board that fails "
        "the check keeps that change",
        flash_);
  MayFail(t[0]);
}

void ScriptChecker::CheckConditional(Lines& lines, size_t index, const StringList& t) {
  std::string matched;
  const int match = layout_.Match(t[1], &matched);
  if (match < 0)
    Add(Severity::kError,
        "pattern \"%s\" is no basic regular expression: fwapply runs the rest of the line on "
        "every board",
        t[1].c_str());
  else if (match > 0 && matched.compare(0, 4, "dev:") == 0)
    Add(Severity::kWarning,
        "pattern \"%s\" matches the header line of /proc/mtd: the rest of the line never "
        "runs",
        t[1].c_str());
  else if (match > 0)
    Add(Severity::kNote,
        "\"%s\" matches \"%s\" of this layout: the rest of the line does not run and is not "
        "checked",
        t[1].c_str(), matched.c_str());
  if (t.size() == 2) Add(Severity::kWarning, "nothing follows the partition name: the line does nothing");
  if (match > 0 || t.size() == 2) return;
  const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(index) + 1;
  lines.text.insert(lines.text.begin() + at, UTextUtil::implode(StringList(t.begin() + 2, t.end()), " "));
  lines.numbers.insert(lines.numbers.begin() + at, line_);
}

}  // namespace

void CheckScript(const CheckConfig& config, const std::string& dir, const std::string& name, Report* report) {
  ScriptChecker checker(config, dir, name);
  checker.Check(report);
}
