// What a package check found: findings in the compilers' "file:line: severity: message" form,
// a summary of the flash ranges of each script, and both written for people or as JSON.
#pragma once

#include <stdarg.h>
#include <stdio.h>

#include <string>
#include <vector>

enum class Severity { kNote, kWarning, kError };

struct Finding {
  std::string file;  // a script's name, or the package itself
  int line;          // 0: the file as a whole
  Severity severity;
  std::string message;
};

// One flash line of a script: the range it erases and what it puts there.
struct RangeRow {
  int line;
  std::string command;
  long long start;
  long long size;                       // bytes erased from start (whole eraseblocks)
  std::vector<std::string> partitions;  // the named partitions the range touches, in chip order
  long long blocks;                     // eraseblocks of the range
  long long data;                       // eraseblocks the data fills; -1 when the line writes nothing
};

struct ScriptSummary {
  std::string name;
  long long budget;  // what fwapply prints as "Total Block to Write"
  std::vector<RangeRow> rows;
};

class Report {
 public:
  void Add(const std::string& file, int line, Severity severity, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  // 2 with any error, 1 with warnings only, else 0.
  int Status() const;
  int Count(Severity severity) const;

  std::string package;
  std::vector<Finding> findings;
  std::vector<ScriptSummary> scripts;
};

// printf into a string of the size it needs.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string VFormat(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));
// "0x1f", or "-0x10": the scripts' numbers are hexadecimal and may be negative.
std::string Hex(long long value);

// Findings (notes too when notes is set), each script's in line order, one per line.
void WriteFindings(const Report& report, FILE* out, bool notes);
// The range table of every script.
void WriteSummary(const Report& report, FILE* out);
void WriteJson(const Report& report, FILE* out);
