// Inter-process channels between the updater and local services: the command and event
// interfaces that the datagram channel (NCommandIPC.h) and the queue channel (NEventMQ.h) fill.
#pragma once

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
