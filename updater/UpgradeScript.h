// Update script engine: holds a package's update script, counts the eraseblocks it will write
// and runs it line by line against the whole NAND chip "/dev/mtd0".
#pragma once

#include <string>
#include <vector>

#include "UTextUtil.h"
#include "libmtd.h"

class UpgradeScript {
 public:
  // Fixed by the script format: lengths are turned into counts of 128 KiB eraseblocks.
  static const int kEraseBlockSize = 0x20000;
  // The script format keeps scripts below this size and lines below kLineSize; longer ones are
  // still cut and run whole, never truncated, because a cut line could change a number.
  static const unsigned int kWorkSize = 16384;
  static const unsigned int kLineSize = 256;
  // The reading limit: a longer script is refused, not cut.
  static const unsigned int kScriptLimit = 0x100000;
  static const unsigned int kVerifyLength = 0x800;
  static const char* const kResultFile;  // "result.txt", in the script directory

  // With a file, loads it at once (relative to the still empty script directory).
  explicit UpgradeScript(const char* file = nullptr);
  ~UpgradeScript();
  UpgradeScript(const UpgradeScript&) = delete;
  UpgradeScript& operator=(const UpgradeScript&) = delete;

  // 0 when script directory + "/" + name was read whole; -1 (text unchanged) when it does not
  // exist, is no regular file (a link included), is longer than kScriptLimit or holds a NUL byte.
  int LoadFile(const char* name);
  // 1 when some "/proc/mtd" line matches name as a basic regular expression, else 0. The
  // matched lines are left in result.txt of the script directory.
  int CheckPartition(const char* name);
  // Hexadecimal, optional sign and 0x, saturating at the int32 limits; no digits or null give 0.
  static int ParseHex(const char* text);

  // One command of the script language. run: 0 to go on, 1 to stop (the run still says "finish"),
  // -1 to end the run without it; it sees only complete lines (at least words words). blocks: the
  // eraseblocks the line will write (none when null); the budget has always counted lines with
  // budget_words words, fewer than the run needs, and supervising programs show it as it is.
  // Both may insert lines after index.
  struct Command {
    const char* key;
    size_t words;
    size_t budget_words;
    int (UpgradeScript::*run)(StringList& lines, size_t index, const StringList& t);
    long long (UpgradeScript::*blocks)(StringList& lines, size_t index, const StringList& t);
  };
  // The command of a keyword, or null for an unknown one.
  static const Command* FindCommand(const std::string& key);

  // The script cut into lines (runs of CR and LF), and a line cut into words (runs of blanks,
  // tabs, CR, LF, FF, VT), as the run reads them.
  StringList CutLines();
  static StringList CutTokens(const std::string& line);

  // 0 after "finish" (all lines done, or stopped); -1 for an empty script or a refused version.
  int Run();
  // Eraseblocks the script's write commands will write; -1 for an empty script. Touches no flash.
  int GetBlockNumToWrite();

  // Flash commands; offsets and lengths are bytes of the whole chip. A line that cannot be
  // carried out as asked says so on stderr, naming the script line, and returns -1 (the run
  // stops); it changes nothing but what it had already erased.
  int CmdErase(int start, int length);                    // 0, or -1 when refused
  int VerifyErase(int start, int length);                 // 1 when the first 2048 bytes at start read blank
  int CmdWrite(int start, int length, const char* file);  // 0, or -1 when refused
  int CmdWriteOob(int start, int length, const char* file);  // 0, or -1 when refused
  // Copies srcLength bytes from srcStart, with their OOB bytes, into the range at start; as
  // CmdWriteOob, and -1 with nothing written when the source cannot be read.
  int CmdDupOob(int start, int length, int srcLength, int srcStart);
  // 0, or -1 when refused: the block at start is then left as it was (unless its erase failed).
  int CmdSetEnv(int start, int length, const char* name, const char* value);

  // The driver assigns the script directory before loading.
  std::string m_sScriptDir;
  std::string m_sScript;

 private:
  static const Command kCommands[];
  int LineImage(StringList& lines, size_t index, const StringList& t);
  long long BlocksImage(StringList& lines, size_t index, const StringList& t);
  int LineDupOob(StringList& lines, size_t index, const StringList& t);
  long long BlocksDupOob(StringList& lines, size_t index, const StringList& t);
  int LineErase(StringList& lines, size_t index, const StringList& t);
  int LineSetEnv(StringList& lines, size_t index, const StringList& t);
  long long BlocksSetEnv(StringList& lines, size_t index, const StringList& t);
  int LineVersion(StringList& lines, size_t index, const StringList& t);
  int LineConditional(StringList& lines, size_t index, const StringList& t);
  long long BlocksConditional(StringList& lines, size_t index, const StringList& t);
  // ifnpart: when the partition is unknown, the rest of the line goes in after index.
  void ExpandConditional(StringList& lines, size_t index, const StringList& tokens);
  // chkver: 0 to go on, 1 to stop, -1 when refused.
  int CheckVersion(const std::string& line, const StringList& tokens);

  // Refusal of the current line: "<line>: <what>" on stderr; returns -1.
  int Refuse(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool ChipInfo(mtd_dev_info* chip);
  // Opens a file named by the script (below the script directory) for a look, following no link
  // and blocking on no FIFO; -1 with errno EXDEV when its path leads out of the directory.
  int OpenImage(const char* file);
  int CheckRange(const mtd_dev_info& chip, int start, int length);
  int CheckImage(const mtd_dev_info& chip, const char* file, bool oob, int start, int length,
                 long long* pages);
  int CheckPath(const mtd_dev_info& chip, int start, int length, long long pages, long long limit, bool env,
                bool beyond);
  bool BlockReadsErased(const mtd_dev_info& chip, long long eb);
  // Offset of the first good block from start below end; -1 when there is none, -2 when the
  // bad-block query fails.
  long long FirstGoodBlock(const mtd_dev_info& chip, int start, long long end);
  void EraseRange(int start, int length);
  // One geometry read per line: the checks, the path and the blank check share it.
  int WriteImage(const mtd_dev_info& chip, int start, int length, const char* file, bool oob);
  // VerifyErase with the page size already known.
  int BlankAt(int start, int page);

  std::vector<char> m_work;
  std::string m_sLine;  // the line being run, for messages
};
