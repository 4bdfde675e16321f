// The event channel to a local service: a SysV message queue found by its key.
#pragma once

#include "NMQueue.h"
#include "NModuleInterface.h"

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
