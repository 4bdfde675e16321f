// SysV message-queue wrapper: msgget/msgsnd/msgrcv/msgctl with every failing call reported
// to the diagnostic log.
#pragma once

// One queue message as msgsnd and msgrcv expect it: the type, then the text area.
struct NSysVMsg {
  static const int kTextSize = 4092;
  long mtype;
  char mtext[kTextSize];
};

class NSysVMsgQ {
 public:
  NSysVMsgQ();
  // The queue is left in place.
  virtual ~NSysVMsgQ();

  // Opens an existing queue (permissions 0777, never creates). The id is -1 on failure.
  bool open(int key);
  // Creates the queue, or falls back to opening it.
  bool create(int key);
  // size is the text's length; it must fit the record's text area.
  bool send(NSysVMsg* msg, int size, int flags);
  // Bytes received, or -1. size must fit the record's text area.
  int recv(NSysVMsg* msg, int size, int type, int flags);
  // Removes the queue (IPC_RMID); the id becomes -1.
  bool destroy();
  // Nothing to release: the queue stays open and the id unchanged.
  void close();
  int getMQId() const;
  int getNumMessages();
  // The queue's byte limit (msg_qbytes).
  int getMsgBufferSize();

 private:
  NSysVMsgQ(const NSysVMsgQ&) = delete;
  NSysVMsgQ& operator=(const NSysVMsgQ&) = delete;

  int m_id;
};
