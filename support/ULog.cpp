#include "ULog.h"

#include <cxxabi.h>
#include <errno.h>
#include <execinfo.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

const char* const UError::sErrorCode[133] = {
    "SUCCESS",
    "EPERM",
    "ENOENT",
    "ESRCH",
    "EINTR",
    "EIO",
    "ENXIO",
    "E2BIG",
    "ENOEXEC",
    "EBADF",
    "ECHILD",
    "EAGAIN",
    "ENOMEM",
    "EACCES",
    "EFAULT",
    "ENOTBLK",
    "EBUSY",
    "EEXIST",
    "EXDEV",
    "ENODEV",
    "ENOTDIR",
    "EISDIR",
    "EINVAL",
    "ENFILE",
    "EMFILE",
    "ENOTTY",
    "ETXTBSY",
    "EFBIG",
    "ENOSPC",
    "ESPIPE",
    "EROFS",
    "EMLINK",
    "EPIPE",
    "EDOM",
    "ERANGE",
    "EDEADLK",
    "ENAMETOOLONG",
    "ENOLCK",
    "ENOSYS",
    "ENOTEMPTY",
    "ELOOP",
    "E41",
    "ENOMSG",
    "EIDRM",
    "ECHRNG",
    "EL2NSYNC",
    "EL3HLT",
    "EL3RST",
    "ELNRNG",
    "EUNATCH",
    "ENOCSI",
    "EL2HLT",
    "EBADE",
    "EBADR",
    "EXFULL",
    "ENOANO",
    "EBADRQC",
    "EBADSLT",
    "E58",
    "EBFONT",
    "ENOSTR",
    "ENODATA",
    "ETIME",
    "ENOSR",
    "ENONET",
    "ENOPKG",
    "EREMOTE",
    "ENOLINK",
    "EADV",
    "ESRMNT",
    "ECOMM",
    "EPROTO",
    "EMULTIHOP",
    "EDOTDOT",
    "EBADMSG",
    "EOVERFLOW",
    "ENOTUNIQ",
    "EBADFD",
    "EREMCHG",
    "ELIBACC",
    "ELIBBAD",
    "ELIBSCN",
    "ELIBMAX",
    "ELIBEXEC",
    "EILSEQ",
    "ERESTART",
    "ESTRPIPE",
    "EUSERS",
    "ENOTSOCK",
    "EDESTADDRREQ",
    "EMSGSIZE",
    "EPROTOTYPE",
    "ENOPROTOOPT",
    "EPROTONOSUPPORT",
    "ESOCKTNOSUPPORT",
    "EOPNOTSUPP",
    "EPFNOSUPPORT",
    "EAFNOSUPPORT",
    "EADDRINUSE",
    "EADDRNOTAVAIL",
    "ENETDOWN",
    "ENETUNREACH",
    "ENETRESET",
    "ECONNABORTED",
    "ECONNRESET",
    "ENOBUFS",
    "EISCONN",
    "ENOTCONN",
    "ESHUTDOWN",
    "ETOOMANYREFS",
    "ETIMEDOUT",
    "ECONNREFUSED",
    "EHOSTDOWN",
    "EHOSTUNREACH",
    "EALREADY",
    "EINPROGRESS",
    "ESTALE",
    "EUCLEAN",
    "ENOTNAM",
    "ENAVAIL",
    "EISNAM",
    "EREMOTEIO",
    "EDQUOT",
    "ENOMEDIUM",
    "EMEDIUMTYPE",
    "ECANCELED",
    "ENOKEY",
    "EKEYEXPIRED",
    "EKEYREVOKED",
    "EKEYREJECTED",
    "EOWNERDEAD",
    "ENOTRECOVERABLE",
    "ERFKILL",
};

const char* UError::Name(int err) {
  const int count = static_cast<int>(sizeof(sErrorCode) / sizeof(sErrorCode[0]));
  if (err < 1 || err >= count) return "UNKNOWN";
  return sErrorCode[err];
}

// Constructed during static initialisation; a report made by another initialiser before
// this one still reaches syslog, only under its default identity.
USysLog gSysLog;

USysLog::USysLog() { open(program_invocation_short_name); }

USysLog::~USysLog() { close(); }

void USysLog::open(const char* ident) { openlog(ident, LOG_PID | LOG_PERROR, LOG_USER); }

void USysLog::close() { closelog(); }

void USysLog::Write(Level level, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  // Only the severity bits are ours to give; the facility is always LOG_USER.
  vsyslog(LOG_PRI(level) | LOG_USER, fmt, ap);
  va_end(ap);
}

int USysLog::error(const char* file, int line, const char* func, int err) {
  if (err == 0) return 0;
  // Callers go on to return a failure whose errno must still be the failing call's.
  int saved = errno;
  // strerror may be asked for a value it has no text for; it still returns a usable string.
  const char* text = strerror(err);
  Write(LevelError, "%s(%d):%s()\t[%s(%d)] %s\n", file ? file : "", line, func ? func : "", UError::Name(err),
        err, text ? text : "");
  PrintStackTrace(2);
  errno = saved;
  return err;
}

int USysLog::error(const char* file, int line, const char* func, int err, const char* fmt, ...) {
  if (err == 0) return 0;
  int saved = errno;
  char text[256];
  text[0] = '\0';
  if (fmt) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
  }
  Write(LevelError, "%s(%d):%s()\t[%s(%d)] %s\n", file ? file : "", line, func ? func : "", UError::Name(err),
        err, text);
  PrintStackTrace(2);
  errno = saved;
  return err;
}

// Copies at most size-1 bytes of [from, to) into out and ends it with a NUL.
static void CopyCut(char* out, size_t size, const char* from, const char* to) {
  size_t n = static_cast<size_t>(to - from);
  if (n > size - 1) n = size - 1;
  memcpy(out, from, n);
  out[n] = '\0';
}

// Out of line, so that it and error() are always the two innermost frames that skip 2 drops.
__attribute__((noinline)) void USysLog::PrintStackTrace(int skip) {
  void* frames[80];
  int count = backtrace(frames, 80);
  char** lines = count > 0 ? backtrace_symbols(frames, count) : nullptr;
  if (!lines) {
    Write(LevelError, "No Stack Trace.\n");
    return;
  }
  Write(LevelError, "Stack Trace:\n");
  int skipped = 0;
  for (int i = 0; i < count; ++i) {
    const char* line = lines[i];
    const char* open = strchr(line, '(');
    const char* close = open ? strchr(open + 1, ')') : nullptr;
    if (!open || !close || close == open + 1) {
      Write(LevelError, "%s\n", line);
      continue;
    }
    char name[256];
    char module[128];
    CopyCut(name, sizeof name, open + 1, close);
    char* plus = strchr(name, '+');
    if (plus) *plus = '\0';
    CopyCut(module, sizeof module, line, open);
    int status = -1;
    char* demangled = name[0] ? abi::__cxa_demangle(name, nullptr, nullptr, &status) : nullptr;
    if (!demangled || status != 0) {
      free(demangled);
      Write(LevelError, "%s\n", line);
      continue;
    }
    if (skipped < skip) {
      ++skipped;
    } else {
      Write(LevelError, "%s: %s%s\n", module, demangled, close + 1);
    }
    free(demangled);
  }
  free(lines);
}
