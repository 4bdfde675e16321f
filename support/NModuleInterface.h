// Inter-process channels between the updater and local services: the command and event
// interfaces, the Unix datagram command channel and the SysV queue event channel.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include "NMQueue.h"

// A bidirectional command channel. Slot order: Send, Recv, Wait, destructor.
class ICommand {
 public:
  virtual int Send(const char* buf, unsigned int len) = 0;
  virtual int Recv(char* buf, unsigned int size) = 0;
  virtual int Wait(unsigned int sec, unsigned int usec) = 0;
  virtual ~ICommand() {}
};

// An event channel; same slots as ICommand, each defaulting to failure.
class IEvent {
 public:
  virtual int Send(const char* buf, unsigned int len);
  virtual int Recv(char* buf, unsigned int size);
  virtual int Wait(unsigned int sec, unsigned int usec);
  virtual ~IEvent();
};

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

// Event channel over a SysV message queue. A client opens an existing queue by key and posts
// to it without blocking; an owner creates the queue and removes it when it disconnects.
class NEventMQ : public IEvent {
 public:
  // Unconnected client.
  NEventMQ();
  // create false: client of the queue with this key; create true: owner of a new queue.
  NEventMQ(int key, bool create);
  virtual ~NEventMQ();

  // Opens the existing queue with this key (never creates it).
  bool connect(int key);
  // An owner removes its queue; a client leaves it alone.
  void disconnect();

  // Posts one message of type 1 with len bytes of src (IPC_NOWAIT); a client retries once
  // after reopening. Returns the bytes posted, or -1. Texts beyond the text area are cut.
  int Send(const char* src, unsigned int len) override;
  // Takes one message of any type without waiting; -1 when none, or when it does not fit
  // size - 1 bytes (the message is consumed then).
  int Recv(char* buf, unsigned int size) override;
  // Number of waiting messages; never blocks, the time-out is not used.
  int Wait(unsigned int sec, unsigned int usec) override;

  NSysVMsgQ& queue() { return m_queue; }

 private:
  NEventMQ(const NEventMQ&) = delete;
  NEventMQ& operator=(const NEventMQ&) = delete;

  int m_key;
  NSysVMsgQ m_queue;
  NSysVMsg m_msg;
};
