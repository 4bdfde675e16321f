#include "Logger.h"

#include <stdio.h>
#include <string.h>

#include "Board.h"
#include "NCommandIPC.h"
#include "NEventMQ.h"
#include "UTime.h"

// The service files the two channels apart, so their descriptions differ in one letter.
static const char kDescDatagram[] = "Firmware Update failed";
static const char kDescQueue[] = "Firmware update failed";
static const char kType[] = "System";

static const char* OrEmpty(const char* s) { return s ? s : ""; }

int Logger::write(const char* note) {
  // A board without the service (fwsim, host tests) has nobody to tell.
  if (!board().log_service) return 0;
  SendLogByIPC(kEventId, kDescDatagram, note, kType);
  SendLogByMsg(kEventId, kDescQueue, note, kType);
  return 0;
}

int Logger::SendLogByIPC(int id, const char* desc, const char* note, const char* type) {
  NCommandIPC channel(board().log_local, board().log_service);
  char event[kEventSize];
  // snprintf cuts an overlong note so the text always ends inside the buffer.
  snprintf(event, sizeof event, "action=insertlog&logid=%d&desc=%s&note=%s&logtype=%s", id, OrEmpty(desc),
           OrEmpty(note), OrEmpty(type));
  channel.Send(event, static_cast<unsigned int>(strlen(event)));
  int result = -1;
  if (channel.Wait(1, 0) > 0) {
    char reply[kEventSize];
    if (channel.Recv(reply, sizeof reply) > 0) result = 0;
  }
  return result;
}

void Logger::FormatTime(time_t now, char* out, unsigned int size) {
  if (!out || size == 0) return;
  memset(out, 0, size);
  // The zone may have been changed in the environment since the last conversion.
  tzset();
  struct tm local;
  if (!localtime_r(&now, &local)) return;
  snprintf(out, size, "%04d/%02d/%02d %02d:%02d:%02d%s", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, local.tm_isdst > 0 ? "d" : "");
}

int Logger::SendLogByMsg(int id, const char* desc, const char* note, const char* type) {
  NEventMQ queue;
  queue.connect(board().log_queue_key);
  char when[256];
  FormatTime(UTime::nowS(nullptr), when, sizeof when);
  char event[kEventSize];
  snprintf(event, sizeof event, "event=addlog&id=%d&desc=%s&note=%s&type=%s&time=%s", id, OrEmpty(desc),
           OrEmpty(note), OrEmpty(type), when);
  queue.Send(event, static_cast<unsigned int>(strlen(event)));
  queue.disconnect();
  return 0;
}
