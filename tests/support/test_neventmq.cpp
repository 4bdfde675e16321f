// SysV queue wrapper and event channel, against real queues in a private IPC namespace.
#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <string>

#include <gtest/gtest.h>

#include "NEventMQ.h"
#include "NMQueue.h"
#include "child_check.h"
#include "ipc_check.h"

using ipccheck::Occurrences;
using ipccheck::Seconds;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const int kKey = 0x106;

// The next message on the queue, taken without waiting: "<type>:<text>", or "none".
std::string Take(int id) {
  struct {
    long mtype;
    char mtext[8192];
  } m;
  ssize_t n = msgrcv(id, &m, sizeof m.mtext, 0, IPC_NOWAIT);
  return n < 0 ? "none" : std::to_string(m.mtype) + ":" + std::string(m.mtext, size_t(n));
}

int QueuedMessages(int id) {
  msqid_ds ds;
  return msgctl(id, IPC_STAT, &ds) == 0 ? static_cast<int>(ds.msg_qnum) : -1;
}

}  // namespace

TEST(EventMQ, OneMessageOfTypeOneEachWayCutToFit) {
  IEvent none;  // the interface's own slots all fail
  char buf[16];
  EXPECT_EQ(-3, none.Send("x", 1) + none.Recv(buf, sizeof buf) + none.Wait(0, 0));
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true), client(kKey, false);
    int id = owner.queue().getMQId();
    CHILD_CHECK(id >= 0);
    std::string text(100, 'm');
    text[0] = 'A';
    CHILD_CHECK_EQ(100, client.Send(text.c_str(), 100));
    CHILD_CHECK_EQ(1, client.Wait(0, 0));
    CHILD_CHECK_EQ("1:" + text, Take(id));
    CHILD_CHECK_EQ(4092, client.Send(std::string(6000, 'c').c_str(), 6000));
    CHILD_CHECK_EQ("1:" + std::string(4092, 'c'), Take(id));
    // A len beyond the text's own end sends NULs, not whatever an earlier message left.
    CHILD_CHECK_EQ(6, client.Send("ab", 6));
    CHILD_CHECK_EQ(std::string("1:ab\0\0\0\0", 8), Take(id));
    CHILD_CHECK_EQ(0, client.Send("", 0));  // an empty event is still an event
    CHILD_CHECK_EQ(std::string("1:"), Take(id));
    CHILD_CHECK_EQ(-1, client.Send(nullptr, 3));
    // A message that does not fit is consumed all the same.
    char buf[16];
    CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
    CHILD_CHECK_EQ(-1, owner.Recv(buf, 10));
    CHILD_CHECK_EQ(0, owner.Wait(0, 0));
    CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
    CHILD_CHECK_EQ(10, owner.Recv(buf, 11));
    CHILD_CHECK_EQ(std::string("0123456789"), std::string(buf));
    // Nothing waiting: no block, a failure reported under "recv".
    double t0 = Seconds();
    CHILD_CHECK_EQ(-1, owner.Recv(buf, sizeof buf));
    CHILD_CHECK(Seconds() - t0 < 0.5);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  // The only report: the empty queue's.
  EXPECT_EQ(1, Occurrences(r.err, "recv()\t[ENOMSG(42)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "Stack Trace:")) << r.err;
}

TEST(EventMQ, OwnerRemovesQueueClientLeavesIt) {
  ChildResult r = RunIsolated([] {
    int id;
    {
      NEventMQ owner(kKey, true);
      id = owner.queue().getMQId();
      {
        NEventMQ client(kKey, false);
        CHILD_CHECK_EQ(3, client.Send("one", 3));
        client.disconnect();
        CHILD_CHECK_EQ(id, client.queue().getMQId());
      }
      CHILD_CHECK_EQ(1, QueuedMessages(id));
    }
    CHILD_CHECK_EQ(-1, QueuedMessages(id));
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    // An owner that disconnects early leaves nothing for its destructor to remove.
    NEventMQ owner(kKey, true);
    owner.disconnect();
    CHILD_CHECK_EQ(-1, owner.queue().getMQId());
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ("", r.err);
}

TEST(EventMQ, FullQueueTakesTwoAttemptsWithoutBlocking) {
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true), client(kKey, false);
    int id = owner.queue().getMQId();
    msqid_ds ds;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
    ds.msg_qbytes = 64;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_SET, &ds));
    CHILD_CHECK_EQ(64, owner.queue().getMsgBufferSize());
    CHILD_CHECK_EQ(60, client.Send(std::string(60, 'f').c_str(), 60));
    double t0 = Seconds();
    CHILD_CHECK_EQ(-1, client.Send("0123456789", 10));
    CHILD_CHECK(Seconds() - t0 < 0.5);
    CHILD_CHECK_EQ(1, owner.queue().getNumMessages());
    CHILD_CHECK_EQ(-1, owner.Send("0123456789", 10));  // an owner does not retry
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(3, Occurrences(r.err, "send()\t[EAGAIN(11)]")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "open()")) << r.err;
}

TEST(SysVMsgQ, WrapperCallsAndReports) {
  ChildResult r = RunIsolated([] {
    // A client of an absent key fails without creating the queue.
    NEventMQ client;
    CHILD_CHECK(!client.connect(kKey) && client.queue().getMQId() == -1);
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    char buf[8];
    CHILD_CHECK_EQ(-2, client.Wait(0, 0) + client.Recv(buf, sizeof buf));
    NSysVMsgQ q, again;
    CHILD_CHECK(!q.open(kKey));
    CHILD_CHECK_EQ(-2, q.getNumMessages() + q.getMsgBufferSize());
    CHILD_CHECK(q.create(kKey));
    int id = q.getMQId();
    CHILD_CHECK(id >= 0);
    // Creating again opens the same queue; close keeps it open.
    CHILD_CHECK(again.create(kKey));
    again.close();
    CHILD_CHECK_EQ(id, again.getMQId());
    NSysVMsg m, in;
    m.mtype = 5;
    memcpy(m.mtext, "abc", 3);
    CHILD_CHECK(q.send(&m, 3, IPC_NOWAIT));
    CHILD_CHECK_EQ(1, q.getNumMessages());
    CHILD_CHECK_EQ(3, q.recv(&in, NSysVMsg::kTextSize, 5, IPC_NOWAIT));
    CHILD_CHECK_EQ(5L, in.mtype);
    // An empty message fits a receive of no text at all.
    CHILD_CHECK(q.send(&m, 0, IPC_NOWAIT) && 0 == q.recv(&in, 0, 5, IPC_NOWAIT));
    // Sizes beyond the record would make the kernel run past it: refused.
    CHILD_CHECK(!q.send(&m, NSysVMsg::kTextSize + 1, IPC_NOWAIT) && errno == EINVAL);
    CHILD_CHECK(!q.send(&m, -1, IPC_NOWAIT));
    CHILD_CHECK_EQ(-2, q.recv(&in, NSysVMsg::kTextSize + 1, 0, IPC_NOWAIT) + q.recv(&in, -1, 0, IPC_NOWAIT));
    CHILD_CHECK(q.destroy() && q.getMQId() == -1 && !q.destroy());
    return 0;
  });
  EXPECT_CHILD_OK(r);
  // The namespace's first queue has id 0: a valid queue, created without a report.
  for (auto line : {std::make_pair("open()\t[ENOENT(2)]", 2),
                    {"create()", 0},
                    {"getNumMessages()\t[EINVAL(22)]", 1},
                    {"getMsgBufferSize()\t[EINVAL(22)]", 1},
                    {"destroy()\t[EINVAL(22)]", 1},
                    {"send()\t[EINVAL(22)]", 2},
                    {"recv()\t[EINVAL(22)]", 2}})
    EXPECT_EQ(line.second, Occurrences(r.err, line.first)) << line.first << r.err;
}
