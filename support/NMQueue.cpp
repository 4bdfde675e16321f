#include "NMQueue.h"

#include <errno.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "ULog.h"

NSysVMsgQ::NSysVMsgQ() : m_id(-1) {}

NSysVMsgQ::~NSysVMsgQ() {}

bool NSysVMsgQ::open(int key) {
  m_id = msgget(static_cast<key_t>(key), 0777);
  if (m_id < 0) {
    USYSLOG_ERROR("open", errno);
    return false;
  }
  return true;
}

bool NSysVMsgQ::create(int key) {
  m_id = msgget(static_cast<key_t>(key), 0777 | IPC_CREAT);
  if (m_id < 0) {
    USYSLOG_ERROR("create", errno);
    return open(key);
  }
  return true;
}

bool NSysVMsgQ::send(NSysVMsg* msg, int size, int flags) {
  // A size beyond the text area would make the kernel read past the record.
  if (!msg || size < 0 || size > NSysVMsg::kTextSize) {
    errno = EINVAL;
    USYSLOG_ERROR("send", errno);
    return false;
  }
  if (msgsnd(m_id, msg, static_cast<size_t>(size), flags) != 0) {
    USYSLOG_ERROR("send", errno);
    return false;
  }
  return true;
}

int NSysVMsgQ::recv(NSysVMsg* msg, int size, int type, int flags) {
  // The kernel writes up to size bytes of text: never let it go past the record.
  if (!msg || size < 0 || size > NSysVMsg::kTextSize) {
    errno = EINVAL;
    USYSLOG_ERROR("recv", errno);
    return -1;
  }
  ssize_t n = msgrcv(m_id, msg, static_cast<size_t>(size), type, flags);
  if (n < 0) {
    USYSLOG_ERROR("recv", errno);
    return -1;
  }
  return static_cast<int>(n);
}

bool NSysVMsgQ::destroy() {
  if (msgctl(m_id, IPC_RMID, nullptr) != 0) {
    USYSLOG_ERROR("destroy", errno);
    return false;
  }
  m_id = -1;
  return true;
}

void NSysVMsgQ::close() {}

int NSysVMsgQ::getMQId() const { return m_id; }

int NSysVMsgQ::getNumMessages() {
  struct msqid_ds ds;
  if (msgctl(m_id, IPC_STAT, &ds) != 0) {
    USYSLOG_ERROR("getNumMessages", errno);
    return -1;
  }
  return static_cast<int>(ds.msg_qnum);
}

int NSysVMsgQ::getMsgBufferSize() {
  struct msqid_ds ds;
  if (msgctl(m_id, IPC_STAT, &ds) != 0) {
    USYSLOG_ERROR("getMsgBufferSize", errno);
    return -1;
  }
  return static_cast<int>(ds.msg_qbytes);
}
