// Event sender: reports an update failure to the board's system-log service, once over its
// Unix datagram socket and once over its SysV message queue.
#pragma once

#include <time.h>

class Logger {
 public:
  static const int kEventId = 108;
  // Room for one event text, terminator included; a longer text is cut.
  static const unsigned int kEventSize = 2048;

  // Sends the event "Firmware update failed" with note on both channels (on none when the board
  // has no system-log service); always 0.
  static int write(const char* note);
  // Datagram channel; 0 when the service answered within one second, else -1.
  static int SendLogByIPC(int id, const char* desc, const char* note, const char* type);
  // Message queue (an existing one only); always 0.
  static int SendLogByMsg(int id, const char* desc, const char* note, const char* type);

  // The local time as "YYYY/MM/DD hh:mm:ss", with "d" appended during daylight-saving
  // time, written into out (size bytes). TZ is re-read first.
  static void FormatTime(time_t now, char* out, unsigned int size);
};
