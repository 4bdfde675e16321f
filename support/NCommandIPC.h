// The command channel to a local service: a Unix datagram socket bound to its own path, sending
// to the service's path and taking its answers.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include "NModuleInterface.h"

// Connectionless channel over an AF_UNIX datagram socket: binds its own path so that the
// peer can answer, and sends to a fixed peer path (or to whoever sent last).
class NCommandIPC : public ICommand {
 public:
  // Room in sockaddr_un's path, terminator included: paths must be shorter.
  static const unsigned int kMaxPath = sizeof(sockaddr_un::sun_path);

  // Either path may be null, not both; a path of kMaxPath bytes or more aborts the process.
  NCommandIPC(const char* sLocalPath, const char* sRemotePath);
  virtual ~NCommandIPC();

  // Returns the socket descriptor, or -1 when no socket could be made.
  int Connect(const char* sLocalPath, const char* sRemotePath);
  // Sends len bytes of buf plus the NUL after them, without blocking. len + 1, or negative.
  int Send(const char* buf, unsigned int len) override;
  // Takes at most size - 1 bytes of one datagram and ends them with a NUL; the sender becomes
  // the peer. Count, or negative (also for size 0, which leaves no room for the NUL).
  int Recv(char* buf, unsigned int size) override;
  // select for reading: > 0 data ready, 0 time-out, -1 error.
  int Wait(unsigned int sec, unsigned int usec) override;
  // Bytes waiting in the socket (FIONREAD), or -1.
  int getNumData();

  int createSocket();
  int bind();
  void destroySocket();

  int GetFD() const { return m_socket; }
  const char* GetLocalPath() const { return m_unaddrLocal.sun_path; }
  const char* GetRemotePath() const { return m_unaddrRemote.sun_path; }

 private:
  NCommandIPC(const NCommandIPC&) = delete;
  NCommandIPC& operator=(const NCommandIPC&) = delete;

  int m_socket;
  char m_sBoundPath[kMaxPath];
  struct sockaddr_un m_unaddrLocal;
  socklen_t m_localLen;
  struct sockaddr_un m_unaddrRemote;
  socklen_t m_remoteLen;
};
