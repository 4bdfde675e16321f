#include "Report.h"

#include <stdarg.h>

#include <algorithm>

namespace {

const char* const kSeverityNames[] = {"note", "warning", "error"};
// Ranges read as "0x200000–0x3bffff", the way a person writes them.
const char kDash[] = "\xE2\x80\x93";

std::string Where(const Finding& f) { return f.line > 0 ? Format("%s:%d", f.file.c_str(), f.line) : f.file; }

std::string RangeText(const RangeRow& row) { return Hex(row.start) + kDash + Hex(row.start + row.size - 1); }

// Columns are padded by characters, not bytes: the dash takes three bytes and one column.
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Pad(const std::string& text, size_t width, bool right) {
  const size_t have = Columns(text);
  const std::string fill(width > have ? width - have : 0, ' ');
  return right ? fill + text : text + fill;
}

std::string Count(long long n) { return n < 0 ? "-" : Format("%lld", n); }

std::string Names(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& n : names) text += (text.empty() ? "" : "+") + n;
  return text.empty() ? "-" : text;
}

void WriteTable(const ScriptSummary& s, FILE* out) {
  fprintf(out, "%s: Total Block to Write = %lld\n", s.name.c_str(), s.budget);
  if (s.rows.empty()) {
    fprintf(out, "  (no line erases or writes the flash)\n");
    return;
  }
  size_t range_w = 5, part_w = 9;
  for (const RangeRow& r : s.rows) {
    range_w = std::max(range_w, Columns(RangeText(r)));
    part_w = std::max(part_w, Columns(Names(r.partitions)));
  }
  fprintf(out, "  line  command   %s  %s  blocks  data  spare\n", Pad("range", range_w, false).c_str(),
          Pad("partition", part_w, false).c_str());
  for (const RangeRow& r : s.rows) {
    const std::string spare = r.data < 0 ? "-" : Format("%lld", r.blocks - r.data);
    fprintf(out, "  %4d  %-8s  %s  %s  %6s  %4s  %5s\n", r.line, r.command.c_str(),
            Pad(RangeText(r), range_w, false).c_str(), Pad(Names(r.partitions), part_w, false).c_str(),
            Count(r.blocks).c_str(), Count(r.data).c_str(), spare.c_str());
  }
}

// Length of the UTF-8 sequence at text[i], or 0 when the bytes there are not one.
size_t Utf8Length(const std::string& text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  const size_t n = c >= 0xF0 && c < 0xF5 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

// A JSON string. Script text may hold any byte: what is not UTF-8 becomes U+FFFD, so the
// document stays valid for every reader.
std::string Quote(const std::string& text) {
  std::string q = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      q += '\\';
      q += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      q += Format("\\u%04x", c);
    } else if (c < 0x80) {
      q += static_cast<char>(c);
    } else if (const size_t n = Utf8Length(text, i)) {
      q.append(text, i, n);
      i += n - 1;
    } else {
      q += "\\ufffd";
    }
  }
  return q + "\"";
}

std::string JsonCount(long long n) { return n < 0 ? "null" : Format("%lld", n); }

std::string JsonNames(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& n : names) list += (list.empty() ? "" : ", ") + Quote(n);
  return "[" + list + "]";
}

void WriteJsonRows(const ScriptSummary& s, FILE* out) {
  for (size_t i = 0; i < s.rows.size(); ++i) {
    const RangeRow& r = s.rows[i];
    const std::string spare = r.data < 0 ? "null" : Format("%lld", r.blocks - r.data);
    fprintf(out,
            "        {\"line\": %d, \"command\": %s, \"start\": %lld, \"size\": %lld, "
            "\"partitions\": %s, \"blocks\": %lld, \"data\": %s, \"spare\": %s}%s\n",
            r.line, Quote(r.command).c_str(), r.start, r.size, JsonNames(r.partitions).c_str(), r.blocks,
            JsonCount(r.data).c_str(), spare.c_str(), i + 1 < s.rows.size() ? "," : "");
  }
}

}  // namespace

std::string VFormat(const char* format, va_list ap) {
  va_list again;
  va_copy(again, ap);
  const int n = vsnprintf(nullptr, 0, format, ap);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(&text[0], text.size() + 1, format, again);
  va_end(again);
  return text;
}

std::string Format(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string text = VFormat(format, ap);
  va_end(ap);
  return text;
}

std::string Hex(long long value) { return value < 0 ? Format("-0x%llx", -value) : Format("0x%llx", value); }

void Report::Add(const std::string& file, int line, Severity severity, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  findings.push_back({file, line, severity, VFormat(format, ap)});
  va_end(ap);
}

int Report::Count(Severity severity) const {
  int n = 0;
  for (const Finding& f : findings)
    if (f.severity == severity) ++n;
  return n;
}

int Report::Status() const {
  if (Count(Severity::kError) > 0) return 2;
  return Count(Severity::kWarning) > 0 ? 1 : 0;
}

void WriteFindings(const Report& report, FILE* out, bool notes) {
  for (const Finding& f : report.findings) {
    if (f.severity == Severity::kNote && !notes) continue;
    fprintf(out, "%s: %s: %s\n", Where(f).c_str(), kSeverityNames[static_cast<int>(f.severity)],
            f.message.c_str());
  }
}

void WriteSummary(const Report& report, FILE* out) {
  for (const ScriptSummary& s : report.scripts) {
    fputc('\n', out);
    WriteTable(s, out);
  }
}

void WriteJson(const Report& report, FILE* out) {
  fprintf(out, "{\n  \"package\": %s,\n  \"status\": %d,\n", Quote(report.package).c_str(), report.Status());
  fprintf(out, "  \"errors\": %d,\n  \"warnings\": %d,\n  \"notes\": %d,\n  \"findings\": [\n",
          report.Count(Severity::kError), report.Count(Severity::kWarning), report.Count(Severity::kNote));
  for (size_t i = 0; i < report.findings.size(); ++i) {
    const Finding& f = report.findings[i];
    fprintf(out, "    {\"file\": %s, \"line\": %s, \"severity\": \"%s\", \"message\": %s}%s\n",
            Quote(f.file).c_str(), f.line > 0 ? Format("%d", f.line).c_str() : "null",
            kSeverityNames[static_cast<int>(f.severity)], Quote(f.message).c_str(),
            i + 1 < report.findings.size() ? "," : "");
  }
  fprintf(out, "  ],\n  \"scripts\": [\n");
  for (size_t i = 0; i < report.scripts.size(); ++i) {
    const ScriptSummary& s = report.scripts[i];
    fprintf(out, "    {\"name\": %s, \"budget\": %lld, \"lines\": [\n", Quote(s.name).c_str(), s.budget);
    WriteJsonRows(s, out);
    fprintf(out, "    ]}%s\n", i + 1 < report.scripts.size() ? "," : "");
  }
  fprintf(out, "  ]\n}\n");
}
