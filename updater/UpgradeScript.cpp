#include "UpgradeScript.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <regex.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

#include "Board.h"
#include "EnvUtil.h"
#include "Logger.h"
#include "UFile.h"
#include "kernel.h"
#include "libmtd.h"
#include "nand_ops.h"

const char* const UpgradeScript::kResultFile = "result.txt";

namespace {

const char kLineSeparators[] = "\r\n";
const char kTokenSeparators[] = " \f\n\t\r\v";
const char kProcMtd[] = "/proc/mtd";
// dupoob's copy of its source, in the working directory.
const char kDupOobFile[] = "tmp.yaffs";
// One eraseblock of 2048-byte pages as records of page data plus their OOB bytes.
const unsigned int kOobBlockRecordBytes = UpgradeScript::kEraseBlockSize / 2048 * (2048 + kRecordOobSize);

// Up to limit + 1 bytes of a regular file into text: the caller sees whether there was more.
// 0; -1 when it cannot be opened, is no regular file or cannot be read. Through the kernel
// boundary: the board's own files ("/proc/mtd", the version file) are then fwsim's and the tests'
// to stand in for, while package files pass straight through.
int ReadRegular(const char* path, int flags, std::string* text, size_t limit = UpgradeScript::kScriptLimit) {
  KFd fd(k_open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | flags));
  struct stat st;
  if (!fd.ok() || k_fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  text->clear();
  char buf[65536];
  while (text->size() <= limit) {
    const ssize_t n = k_read_full(fd.get(), buf, sizeof buf);
    if (n < 0) return -1;
    text->append(buf, static_cast<size_t>(n));
    if (static_cast<size_t>(n) < sizeof buf) break;
  }
  if (text->size() > limit + 1) text->resize(limit + 1);
  return 0;
}

// The page size of the chip, or 0 when its geometry cannot be had.
int ChipPageSize(const char* device) {
  libmtd_t mtd = libmtd_open();
  if (!mtd) return 0;
  struct mtd_dev_info info;
  memset(&info, 0, sizeof info);
  int page = 0;
  if (mtd_get_dev_info(mtd, device, &info) == 0 && info.min_io_size > 0) page = info.min_io_size;
  libmtd_close(mtd);
  return page;
}

}  // namespace

UpgradeScript::UpgradeScript(const char* file) : m_work(kWorkSize, '\0') {
  if (file) {
    LoadFile(file);
  } else {
    m_sScript.clear();
  }
}

UpgradeScript::~UpgradeScript() {}

int UpgradeScript::LoadFile(const char* name) {
  if (!name) return -1;
  const std::string path = m_sScriptDir + "/" + name;
  // A script of the package is its own regular file: a link is not followed, a FIFO not waited on.
  std::string text;
  if (ReadRegular(path.c_str(), O_NOFOLLOW, &text) < 0) return -1;
  // Cut at the reading limit or at a NUL byte, the text would end in the middle of a line, and
  // "erase 400000 20000" could run as "erase 400000 2".
  if (text.size() > kScriptLimit || memchr(text.data(), '\0', text.size())) return -1;
  m_sScript = text;
  return 0;
}

int UpgradeScript::CheckPartition(const char* name) {
  if (!name) return 0;
  const std::string result_path = m_sScriptDir + "/" + kResultFile;
  // The name is a pattern and nothing else: no shell ever sees it.
  regex_t re;
  int rc = regcomp(&re, name, REG_NOSUB);
  std::string matched;
  if (rc != 0) {
    char why[128];
    regerror(rc, &re, why, sizeof why);
    fprintf(stderr, "grep: %s: %s\n", name, why);
  } else {
    std::string text;
    if (ReadRegular(kProcMtd, 0, &text) < 0) text.clear();
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      const size_t stop = end == std::string::npos ? text.size() : end;
      const std::string line = text.substr(pos, stop - pos);
      if (regexec(&re, line.c_str(), 0, nullptr, 0) == 0) {
        matched += line;
        matched += '\n';
      }
      pos = stop + 1;
    }
    regfree(&re);
  }
  // A result.txt that came with the package may be a link; it must not lead the write elsewhere.
  unlink(result_path.c_str());
  int fd = open(result_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    UFile::WriteAll(fd, matched.data(), matched.size());
    close(fd);
  }
  return matched.empty() ? 0 : 1;
}

int UpgradeScript::ParseHex(const char* text) {
  if (!text) return 0;
  // strtoll then clamp: long is 64 bits on the host and 32 on the board, the result 32 on both.
  long long v = strtoll(text, nullptr, 16);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

StringList UpgradeScript::CutLines() {
  StringList lines;
  if (m_work.size() < m_sScript.size() + 1) m_work.resize(m_sScript.size() + 1);
  memcpy(m_work.data(), m_sScript.c_str(), m_sScript.size() + 1);
  UTextUtil::split(m_work.data(), kLineSeparators, lines);
  return lines;
}

StringList UpgradeScript::CutTokens(const std::string& line) {
  StringList tokens;
  std::vector<char> buf(line.size() + 1 > kLineSize ? line.size() + 1 : kLineSize, '\0');
  memcpy(buf.data(), line.c_str(), line.size() + 1);
  UTextUtil::split(buf.data(), kTokenSeparators, tokens);
  return tokens;
}

void UpgradeScript::ExpandConditional(StringList& lines, size_t index, const StringList& tokens) {
  if (tokens.size() < 2) return;
  if (CheckPartition(tokens[1].c_str()) == 1) return;
  StringList rest(tokens.begin() + 2, tokens.end());
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(index) + 1, UTextUtil::implode(rest, " "));
}

int UpgradeScript::CheckVersion(const std::string& line, const StringList& tokens) {
  int req_major = 0, req_minor = 0;
  if (sscanf(tokens[2].c_str(), "%d.%d", &req_major, &req_minor) < 2) {
    fprintf(stderr, "incomplete script command %s, Abort\n", line.c_str());
    return 1;
  }
  // A board file, usually /etc/version; only a regular one is read, so a FIFO cannot stop the run.
  std::string text;
  if (ReadRegular(tokens[1].c_str(), 0, &text) < 0) text.clear();
  text.resize(strnlen(text.c_str(), text.size()));
  int major = 0, minor = 0, revision = 0;
  char word[256];
  word[0] = '\0';
  // The width keeps a long word inside its buffer; only its presence matters.
  if (sscanf(text.c_str(), "v%d.%dr%d %255s", &major, &minor, &revision, word) != 4) {
    printf("Check Version Error (v%d.%d required), badimage\n", req_major, req_minor);
    return -1;
  }
  if (major < req_major || (major == req_major && minor < req_minor)) {
    char note[256];
    snprintf(note, sizeof note, "v%d.%d required", req_major, req_minor);
    Logger::write(note);
    printf("Check Version Error (v%d.%d required), badimage\n", req_major, req_minor);
    return -1;
  }
  return 0;
}

// The script language. A new command is one row here and its two member functions.
const UpgradeScript::Command UpgradeScript::kCommands[] = {
    {"write", 4, 4, &UpgradeScript::LineImage, &UpgradeScript::BlocksImage},
    {"writeoob", 4, 4, &UpgradeScript::LineImage, &UpgradeScript::BlocksImage},
    {"dupoob", 5, 3, &UpgradeScript::LineDupOob, &UpgradeScript::BlocksDupOob},
    {"setenv", 5, 1, &UpgradeScript::LineSetEnv, &UpgradeScript::BlocksSetEnv},
    {"erase", 3, 3, &UpgradeScript::LineErase, nullptr},
    {"chkver", 3, 3, &UpgradeScript::LineVersion, nullptr},
    {"ifnpart", 2, 1, &UpgradeScript::LineConditional, &UpgradeScript::BlocksConditional},
};

const UpgradeScript::Command* UpgradeScript::FindCommand(const std::string& key) {
  for (const Command& c : kCommands)
    if (key == c.key) return &c;
  return nullptr;
}

int UpgradeScript::Run() {
  if (m_sScript.empty()) return -1;
  StringList lines = CutLines();
  for (size_t i = 0; i < lines.size(); ++i) {
    // A copy: an ifnpart line inserts into the list, which may move its strings.
    const std::string line = lines[i];
    StringList t = CutTokens(line);
    if (t.empty()) continue;
    m_sLine = line;
    const Command* command = FindCommand(t[0]);
    if (!command) {
      fprintf(stderr, "Unknown script command %s\n", line.c_str());
      continue;
    }
    if (t.size() < command->words) {
      fprintf(stderr, "incomplete script command %s\n", line.c_str());
      continue;
    }
    const int rc = (this->*command->run)(lines, i, t);
    if (rc < 0) return -1;
    if (rc > 0) break;
  }
  k_sync();
  puts("finish");
  fflush(stdout);
  return 0;
}

int UpgradeScript::GetBlockNumToWrite() {
  if (m_sScript.empty()) return -1;
  StringList lines = CutLines();
  // Wide enough that no script, however long, wraps the sum.
  long long total = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const StringList t = CutTokens(lines[i]);
    const Command* command = t.empty() ? nullptr : FindCommand(t[0]);
    if (command && command->blocks && t.size() >= command->budget_words)
      total += (this->*command->blocks)(lines, i, t);
  }
  return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

int UpgradeScript::LineImage(StringList&, size_t, const StringList& t) {
  const std::string path = m_sScriptDir + "/" + t[3];
  // A missing image is a damaged package: the lines after it (a setenv that switches the
  // slot) must not run as if it had been written.
  if (!UFile::Exist(path.c_str())) {
    fprintf(stderr, "%s doesn't exist\n", path.c_str());
    return 1;
  }
  const int start = ParseHex(t[1].c_str()), length = ParseHex(t[2].c_str());
  const int rc =
      t[0] == "write" ? CmdWrite(start, length, path.c_str()) : CmdWriteOob(start, length, path.c_str());
  return rc < 0 ? 1 : 0;
}

long long UpgradeScript::BlocksImage(StringList&, size_t, const StringList& t) {
  const std::string path = m_sScriptDir + "/" + t[3];
  if (!UFile::Exist(path.c_str())) return 0;
  const unsigned int size = static_cast<unsigned int>(UFile::GetFileSize(path.c_str()));
  if (t[0] == "write") return size / kEraseBlockSize + (size % kEraseBlockSize ? 1 : 0);
  return size / kOobBlockRecordBytes;
}

int UpgradeScript::LineDupOob(StringList&, size_t, const StringList& t) {
  return CmdDupOob(ParseHex(t[1].c_str()), ParseHex(t[2].c_str()), ParseHex(t[3].c_str()),
                   ParseHex(t[4].c_str())) < 0;
}

long long UpgradeScript::BlocksDupOob(StringList&, size_t, const StringList& t) {
  return static_cast<unsigned int>(ParseHex(t[2].c_str())) / kEraseBlockSize;
}

int UpgradeScript::LineErase(StringList&, size_t, const StringList& t) {
  return CmdErase(ParseHex(t[1].c_str()), ParseHex(t[2].c_str())) < 0;
}

int UpgradeScript::LineSetEnv(StringList&, size_t, const StringList& t) {
  // The value is the rest of the line: boot arguments hold blanks.
  const std::string value = UTextUtil::implode(StringList(t.begin() + 4, t.end()), " ");
  return CmdSetEnv(ParseHex(t[1].c_str()), ParseHex(t[2].c_str()), t[3].c_str(), value.c_str()) < 0;
}

long long UpgradeScript::BlocksSetEnv(StringList&, size_t, const StringList&) { return 1; }

int UpgradeScript::LineVersion(StringList&, size_t, const StringList& t) { return CheckVersion(m_sLine, t); }

int UpgradeScript::LineConditional(StringList& lines, size_t index, const StringList& t) {
  ExpandConditional(lines, index, t);
  return 0;
}

long long UpgradeScript::BlocksConditional(StringList& lines, size_t index, const StringList& t) {
  ExpandConditional(lines, index, t);
  return 0;
}

int UpgradeScript::Refuse(const char* format, ...) {
  fprintf(stderr, "%s: ", m_sLine.c_str());
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fputc('\n', stderr);
  return -1;
}

bool UpgradeScript::ChipInfo(mtd_dev_info* chip) {
  memset(chip, 0, sizeof *chip);
  libmtd_t mtd = libmtd_open();
  int err = errno;
  bool ok = mtd != nullptr;
  if (ok) {
    ok = mtd_get_dev_info(mtd, board().chip, chip) == 0 && chip->eb_size > 0 && chip->min_io_size > 0 &&
         chip->eb_size % chip->min_io_size == 0;
    err = errno;
    libmtd_close(mtd);
  }
  if (!ok) Refuse("%s: %s", board().chip, strerror(err ? err : ENODEV));
  return ok;
}

// Arguments that no flash access can make right: refused before anything is erased.
int UpgradeScript::CheckRange(const mtd_dev_info& chip, int start, int length) {
  const long long end = static_cast<long long>(start) + length;
  if (start < 0 || length < 0 || start >= chip.size || (length >= kEraseBlockSize && end > chip.size))
    return Refuse("range is outside the chip");
  // The erase would take the whole block holding start, bytes the line never named.
  if (start % chip.eb_size != 0)
    return Refuse("start 0x%x is not on an eraseblock boundary", static_cast<unsigned int>(start));
  return 0;
}

// The image must be usable before its range is erased: a file the writer would refuse, or a
// FIFO that would block its open for ever, must not cost the partition its old contents.
int UpgradeScript::CheckImage(const mtd_dev_info& chip, const char* file, bool oob, int start, int length,
                              long long* pages) {
  int fd = OpenImage(file);
  struct stat st;
  int err = errno;
  const bool opened = fd >= 0;
  const bool regular = opened && fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (opened) close(fd);
  if (!regular) {
    if (!opened && err == EXDEV) return Refuse("%s is outside the package", file);
    if (opened || err == ELOOP) return Refuse("%s is not a regular file", file);
    return Refuse("%s cannot be opened: %s", file, strerror(err));
  }
  const long long page = chip.min_io_size;
  const long long record = page + (oob ? kRecordOobSize : 0);
  const long long size = static_cast<long long>(st.st_size);
  if (oob && size % record != 0) return Refuse("%s is not a whole number of %lld-byte records", file, record);
  *pages = oob ? size / record : (size + page - 1) / page;
  const long long room = oob && length != 0 ? length : chip.size - start;
  if (*pages * page > room) return Refuse("%s does not fit into the range", file);
  return 0;
}

int UpgradeScript::OpenImage(const char* file) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  const std::string prefix = m_sScriptDir + "/";
  if (m_sScriptDir.empty() || strncmp(file, prefix.c_str(), prefix.size()) != 0) return open(file, flags);
  // Walked a name at a time from the script directory, no link followed, ".." never above the
  // start: what is opened is what the writer later opens by the same path, inside the package.
  int dir = open(m_sScriptDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int depth = 0;
  const char* at = file + prefix.size();
  while (dir >= 0) {
    const char* slash = strchr(at, '/');
    const std::string part = slash ? std::string(at, static_cast<size_t>(slash - at)) : std::string(at);
    const bool up = part == "..";
    if (up && depth == 0) {
      close(dir);
      errno = EXDEV;
      return -1;
    }
    const char* name = part.empty() ? "." : part.c_str();
    const int next = openat(dir, name, slash ? flags | O_DIRECTORY : flags);
    const int err = errno;
    close(dir);
    errno = err;
    if (!slash) return next;
    if (part != "." && !part.empty()) depth += up ? -1 : 1;
    dir = next;
    at = slash + 1;
  }
  return -1;
}

// After the erase: the good blocks from start that the data will fill must all have erased. A
// block that failed, or that the erase never reached because it stopped early, may still hold
// old bytes; a block the data does not reach does not matter. Only a write without end limit
// (beyond) may go on past the erased blocks: the writer reads such blocks back before it
// programs them. Any other line must fit its data into the blocks it erased.
int UpgradeScript::CheckPath(const mtd_dev_info& chip, int start, int length, long long pages,
                             long long limit, bool env, bool beyond) {
  const long long eb = chip.eb_size, per_block = eb / chip.min_io_size;
  const long long first = start / eb;
  const long long count = length / kEraseBlockSize;
  const long long erase_end = count == 0 ? chip.size / eb : first + count;
  const long long limit_eb = (limit + eb - 1) / eb;
  long long need = (pages + per_block - 1) / per_block;
  for (long long b = first; need > 0; ++b) {
    if (b >= erase_end && beyond) return 0;
    if (b >= limit_eb || b >= erase_end)
      return Refuse("not enough good blocks in the range, nothing written");
    const FlashBlockState state = nand().erase_state(board().chip, b);
    if (state == kBlockBad) continue;
    // The environment has no second copy: a block whose erase failed but left it blank is
    // better written than left without any environment.
    if (state == kBlockErased || (state == kBlockEraseFailed && env && BlockReadsErased(chip, b))) {
      --need;
      continue;
    }
    return Refuse("block at 0x%llx did not erase, nothing written", b * eb);
  }
  return 0;
}

bool UpgradeScript::BlockReadsErased(const mtd_dev_info& chip, long long eb) {
  const size_t bytes = static_cast<size_t>(chip.eb_size) +
                       static_cast<size_t>(chip.eb_size / chip.min_io_size) * kRecordOobSize;
  std::vector<char> buf(bytes, '\0');
  const int at = static_cast<int>(eb * chip.eb_size);
  if (nand().dump_mem_oob(buf.data(), at, chip.eb_size, board().chip) != 0) return false;
  for (char c : buf)
    if (static_cast<unsigned char>(c) != 0xFF) return false;
  return true;
}

long long UpgradeScript::FirstGoodBlock(const mtd_dev_info& chip, int start, long long end) {
  const int fd = k_open(board().chip, O_RDONLY);
  if (fd < 0) return -2;
  long long found = -1;
  for (long long at = start; at < end && found == -1; at += chip.eb_size) {
    const int bad = mtd_is_bad(&chip, fd, static_cast<int>(at / chip.eb_size));
    if (bad < 0) found = -2;
    if (bad == 0) found = at;
  }
  k_close(fd);
  return found;
}

void UpgradeScript::EraseRange(int start, int length) {
  nand().erase(board().chip, start, length / kEraseBlockSize);
}

int UpgradeScript::CmdErase(int start, int length) {
  mtd_dev_info chip;
  if (!ChipInfo(&chip) || CheckRange(chip, start, length) < 0) return -1;
  EraseRange(start, length);
  return 0;
}

int UpgradeScript::VerifyErase(int start, int length) {
  (void)length;
  return BlankAt(start, ChipPageSize(board().chip));
}

int UpgradeScript::BlankAt(int start, int page) {
  // The reader hands over whole pages: the buffer must hold every page it may deliver.
  if (page <= 0) return 0;
  const size_t pages = (kVerifyLength + static_cast<size_t>(page) - 1) / static_cast<size_t>(page);
  // Zeros: whatever the reader does not deliver (end of the chip) counts as not erased.
  std::vector<char> buf(pages * static_cast<size_t>(page), '\0');
  if (nand().dump_mem(buf.data(), start, static_cast<int>(kVerifyLength), board().chip) != 0) return 0;
  for (size_t i = 0; i < kVerifyLength; ++i) {
    if (static_cast<unsigned char>(buf[i]) != 0xFF) return 0;
  }
  return 1;
}

int UpgradeScript::WriteImage(const mtd_dev_info& chip, int start, int length, const char* file, bool oob) {
  long long pages = 0;
  if (CheckRange(chip, start, length) < 0 || CheckImage(chip, file, oob, start, length, &pages) < 0)
    return -1;
  EraseRange(start, length);
  const long long limit = oob && length != 0 ? static_cast<long long>(start) + length : chip.size;
  if (CheckPath(chip, start, length, pages, limit, false, !oob) < 0) return -1;
  if (!BlankAt(start, chip.min_io_size))
    return Refuse("range at 0x%x does not read back erased, nothing written",
                  static_cast<unsigned int>(start));
  if (oob) {
    nand().write_file_oob(file, board().chip, static_cast<unsigned int>(start),
                          static_cast<unsigned int>(length));
  } else {
    nand().write_file(file, board().chip, static_cast<unsigned int>(start), 0);
  }
  return 0;
}

int UpgradeScript::CmdWrite(int start, int length, const char* file) {
  mtd_dev_info chip;
  return ChipInfo(&chip) ? WriteImage(chip, start, length, file, false) : -1;
}

int UpgradeScript::CmdWriteOob(int start, int length, const char* file) {
  mtd_dev_info chip;
  return ChipInfo(&chip) ? WriteImage(chip, start, length, file, true) : -1;
}

int UpgradeScript::CmdDupOob(int start, int length, int srcLength, int srcStart) {
  mtd_dev_info chip;
  if (!ChipInfo(&chip) || CheckRange(chip, start, length) < 0) return -1;
  if (srcStart < 0 || srcLength < 0 || srcStart >= chip.size ||
      static_cast<long long>(srcStart) + srcLength > chip.size)
    return Refuse("range is outside the chip");
  // A stale copy, or a link planted by the package, must neither be written to flash nor
  // redirect the dump.
  const std::string copy = std::string(board().work_dir) + "/" + kDupOobFile;
  unlink(copy.c_str());
  if (nand().dump_file_oob(copy.c_str(), srcStart, srcLength, board().chip) != 0)
    return Refuse("cannot read the source, nothing written");
  return WriteImage(chip, start, length, copy.c_str(), true);
}

int UpgradeScript::CmdSetEnv(int start, int length, const char* name, const char* value) {
  mtd_dev_info chip;
  if (!ChipInfo(&chip) || CheckRange(chip, start, length) < 0) return -1;
  // Such a name would never be found again: it would only add a second entry.
  if (strchr(name, '=')) return Refuse("variable name holds \"=\"");
  // Within the erased blocks: a bad block there must not push the environment into the next
  // partition, which was never erased and which the boot loader does not read. A length below
  // one block erased to the end of the chip, so the end of the chip is the limit then.
  const unsigned int limit =
      length >= kEraseBlockSize ? static_cast<unsigned int>(length / kEraseBlockSize * kEraseBlockSize) : 0;
  const long long end = limit ? static_cast<long long>(start) + limit : chip.size;
  // The block lives in the first good block of the range, where the writer puts it and where a
  // boot loader that skips bad blocks reads it; a bad block's bytes are nobody's environment.
  const long long good = FirstGoodBlock(chip, start, end);
  if (good == -2)
    return Refuse("boot environment at 0x%x cannot be read, left unchanged",
                  static_cast<unsigned int>(start));
  if (good < 0) return Refuse("not enough good blocks in the range, nothing written");
  const unsigned int at = static_cast<unsigned int>(good);
  EnvUtil env(board().chip, at, EnvUtil::kBlockSize);
  // Writing back an environment that was never read, or that the boot loader does not accept
  // (it runs on its built-in defaults then), would replace every variable by one.
  if (!env.IsLoaded()) return Refuse("boot environment at 0x%x cannot be read, left unchanged", at);
  if (!env.CrcMatches()) return Refuse("boot environment at 0x%x fails its CRC, left unchanged", at);
  env.SetKeyValue(name, value);
  std::vector<unsigned char> block(EnvUtil::kBlockSize, 0);
  if (env.SaveMemory(reinterpret_cast<char*>(block.data())) != 0)
    return Refuse("boot environment at 0x%x would overflow, left unchanged", at);
  EraseRange(start, length);
  if (CheckPath(chip, start, length, EnvUtil::kBlockSize / chip.min_io_size, end, true, false) < 0) return -1;
  nand().write_mem(block.data(), EnvUtil::kBlockSize, board().chip, at, limit);
  return 0;
}
