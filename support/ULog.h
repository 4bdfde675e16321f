// Diagnostic log: failed system calls are written to the system log (and copied to standard
// error) with the errno's symbolic name, its text and a stack trace of the caller.
#pragma once

#include <syslog.h>

class UError {
 public:
  // Symbolic names of the Linux error numbers 0..132; 0 is "SUCCESS".
  static const char* const sErrorCode[133];

  // Name of err: its table entry for 1..132, "UNKNOWN" for every other value (0 included,
  // which the reports never look up).
  static const char* Name(int err);
};

class USysLog {
 public:
  // A syslog severity, 0 (most severe) to 7; reports use LevelError (3). A plain integer, so
  // callers may pass the syslog values directly.
  typedef int Level;
  static constexpr Level LevelEmergency = 0;
  static constexpr Level LevelAlert = 1;
  static constexpr Level LevelCritical = 2;
  static constexpr Level LevelError = 3;
  static constexpr Level LevelWarning = 4;
  static constexpr Level LevelNotice = 5;
  static constexpr Level LevelInfo = 6;
  static constexpr Level LevelDebug = 7;

  // Opens the system log under the program's short name.
  USysLog();
  virtual ~USysLog();

  // openlog(ident, LOG_PID | LOG_PERROR, LOG_USER): every line is also copied to stderr.
  static void open(const char* ident);
  static void close();

  static void Write(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  // Reports a failed call: "<file>(<line>):<func>()\t[<name>(<err>)] <strerror>" and a stack
  // trace. Nothing is logged when err is 0. Returns err.
  static int error(const char* file, int line, const char* func, int err);
  // As above, with the caller's text (cut at 255 characters) in place of the error text.
  static int error(const char* file, int line, const char* func, int err, const char* fmt, ...)
      __attribute__((format(printf, 5, 6)));

  // Writes the active frames, innermost first, leaving out the first skip demangled ones.
  static void PrintStackTrace(int skip);

 private:
  USysLog(const USysLog&) = delete;
  USysLog& operator=(const USysLog&) = delete;
};

// Opens the log before main and closes it at exit.
extern USysLog gSysLog;

// Call-site forms: the report carries the caller's file and line.
#define USYSLOG_ERROR(func, err) USysLog::error(__FILE__, __LINE__, (func), (err))
#define USYSLOG_ERRORF(func, err, ...) USysLog::error(__FILE__, __LINE__, (func), (err), __VA_ARGS__)
