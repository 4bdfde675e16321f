#include "NEventMQ.h"

#include <errno.h>
#include <string.h>
#include <sys/ipc.h>

NEventMQ::NEventMQ() : m_key(-1) { memset(&m_msg, 0, sizeof m_msg); }

NEventMQ::NEventMQ(int key, bool create) : m_key(-1) {
  memset(&m_msg, 0, sizeof m_msg);
  if (create) {
    m_queue.create(key);
  } else {
    m_queue.open(key);
    m_key = key;
  }
}

NEventMQ::~NEventMQ() { disconnect(); }

bool NEventMQ::connect(int key) {
  m_key = key;
  disconnect();
  return m_queue.open(key);
}

void NEventMQ::disconnect() {
  if (m_key == -1) {
    // Owner: the queue goes with it. An owner that never got a queue has nothing to remove.
    if (m_queue.getMQId() >= 0) m_queue.destroy();
  } else {
    m_queue.close();
  }
}

int NEventMQ::Send(const char* src, unsigned int len) {
  if (!src) return -1;
  // The record holds 4092 bytes of text: a longer text is cut instead of overrunning it.
  unsigned int size = len;
  if (size > static_cast<unsigned int>(NSysVMsg::kTextSize)) size = NSysVMsg::kTextSize;
  size_t copy = strnlen(src, size);
  m_msg.mtype = 1;
  memcpy(m_msg.mtext, src, copy);
  // The bytes after the text's end are sent as NULs rather than whatever lay in the record.
  memset(m_msg.mtext + copy, 0, NSysVMsg::kTextSize - copy);
  if (m_queue.send(&m_msg, static_cast<int>(size), IPC_NOWAIT)) return static_cast<int>(size);
  if (m_key == -1) return -1;
  disconnect();
  if (!connect(m_key)) return -1;
  if (m_queue.send(&m_msg, static_cast<int>(size), IPC_NOWAIT)) return static_cast<int>(size);
  return -1;
}

int NEventMQ::Recv(char* buf, unsigned int size) {
  if (m_queue.getMQId() < 0) return -1;
  int n = m_queue.recv(&m_msg, NSysVMsg::kTextSize, 0, IPC_NOWAIT);
  if (n <= 0) return n;
  if (!buf || static_cast<unsigned int>(n) >= size) return -1;
  memcpy(buf, m_msg.mtext, static_cast<size_t>(n));
  buf[n] = '\0';
  return n;
}

int NEventMQ::Wait(unsigned int, unsigned int) {
  if (m_queue.getMQId() < 0) return -1;
  return m_queue.getNumMessages();
}
