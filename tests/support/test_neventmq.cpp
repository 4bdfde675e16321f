// SysV queue wrapper and event channel, against real queues in a private IPC namespace.
#include <errno.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/time.h>

#include <string>

#include <gtest/gtest.h>

#include "NMQueue.h"
#include "NModuleInterface.h"
#include "child.h"
#include "child_check.h"
#include "private_ns.h"

using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const int kKey = 0x106;

struct RawMsg {
  long mtype;
  char mtext[8192];
};

int Occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

double Seconds() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return tv.tv_sec + tv.tv_usec / 1e6;
}

#define EXPECT_CHILD_OK(r)                          \
  do {                                              \
    SKIP_IF_NOT_ISOLATED(r);                        \
    EXPECT_EQ(0, (r).status) << (r).out << (r).err; \
  } while (0)

}  // namespace

TEST(EventInterface, DefaultsFail) {
  IEvent e;
  char buf[4];
  EXPECT_EQ(-1, e.Send("x", 1));
  EXPECT_EQ(-1, e.Recv(buf, sizeof buf));
  EXPECT_EQ(-1, e.Wait(0, 0));
}

TEST(EventMQ, ConnectToAbsentKeyFailsWithoutCreating) {
  ChildResult r = RunIsolated([] {
    NEventMQ client;
    CHILD_CHECK(!client.connect(kKey));
    CHILD_CHECK_EQ(-1, client.queue().getMQId());
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    CHILD_CHECK_EQ(-1, client.Wait(0, 0));
    char buf[8];
    CHILD_CHECK_EQ(-1, client.Recv(buf, sizeof buf));
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(1, Occurrences(r.err, "open()\t[ENOENT(2)]")) << r.err;
}

TEST(EventMQ, SendPutsOneTypeOneMessageOfTheGivenSize) {
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true);
    CHILD_CHECK(owner.queue().getMQId() >= 0);
    NEventMQ client(kKey, false);
    std::string text(100, 'm');
    text[0] = 'A';
    CHILD_CHECK_EQ(100, client.Send(text.c_str(), 100));
    CHILD_CHECK_EQ(1, client.Wait(0, 0));
    CHILD_CHECK_EQ(1, owner.queue().getNumMessages());
    RawMsg m;
    ssize_t n = msgrcv(owner.queue().getMQId(), &m, sizeof m.mtext, 0, IPC_NOWAIT);
    CHILD_CHECK_EQ(100, static_cast<int>(n));
    CHILD_CHECK_EQ(1L, m.mtype);
    CHILD_CHECK_EQ(text, std::string(m.mtext, 100));
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ("", r.err);
}

TEST(EventMQ, OverlongTextIsCutToTheTextArea) {
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true);
    NEventMQ client(kKey, false);
    std::string text(6000, 'c');
    CHILD_CHECK_EQ(4092, client.Send(text.c_str(), 6000));
    RawMsg m;
    ssize_t n = msgrcv(owner.queue().getMQId(), &m, sizeof m.mtext, 0, IPC_NOWAIT);
    CHILD_CHECK_EQ(4092, static_cast<int>(n));
    CHILD_CHECK_EQ(std::string(4092, 'c'), std::string(m.mtext, 4092));
    // A len beyond the text's own end sends NULs, not whatever an earlier message left.
    CHILD_CHECK_EQ(6, client.Send("ab", 6));
    n = msgrcv(owner.queue().getMQId(), &m, sizeof m.mtext, 0, IPC_NOWAIT);
    CHILD_CHECK_EQ(6, static_cast<int>(n));
    CHILD_CHECK_EQ(std::string("ab\0\0\0\0", 6), std::string(m.mtext, 6));
    CHILD_CHECK_EQ(-1, client.Send(nullptr, 3));
    return 0;
  });
  EXPECT_CHILD_OK(r);
}

TEST(EventMQ, OwnerRemovesQueueClientLeavesIt) {
  ChildResult r = RunIsolated([] {
    int id;
    {
      NEventMQ owner(kKey, true);
      id = owner.queue().getMQId();
      CHILD_CHECK(id >= 0);
      {
        NEventMQ client(kKey, false);
        CHILD_CHECK_EQ(3, client.Send("one", 3));
        client.disconnect();
        CHILD_CHECK_EQ(id, client.queue().getMQId());
      }
      struct msqid_ds ds;
      CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
      CHILD_CHECK_EQ(1, static_cast<int>(ds.msg_qnum));
    }
    struct msqid_ds ds;
    CHILD_CHECK(msgctl(id, IPC_STAT, &ds) != 0);
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    // An owner that disconnects early leaves nothing for its destructor to remove.
    {
      NEventMQ owner(kKey, true);
      owner.disconnect();
      CHILD_CHECK_EQ(-1, owner.queue().getMQId());
    }
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ("", r.err);
}

TEST(EventMQ, RecvTooSmallConsumesAndFails) {
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true);
    NEventMQ client(kKey, false);
    CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
    char buf[16];
    CHILD_CHECK_EQ(-1, owner.Recv(buf, 10));
    CHILD_CHECK_EQ(0, owner.Wait(0, 0));
    CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
    memset(buf, 'X', sizeof buf);
    CHILD_CHECK_EQ(10, owner.Recv(buf, 11));
    CHILD_CHECK_EQ(std::string("0123456789"), std::string(buf));
    // Nothing waiting: no block, a failure reported under "recv".
    double t0 = Seconds();
    CHILD_CHECK_EQ(-1, owner.Recv(buf, sizeof buf));
    CHILD_CHECK(Seconds() - t0 < 0.5);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(1, Occurrences(r.err, "recv()\t[ENOMSG(42)]")) << r.err;
}

TEST(EventMQ, FullQueueTakesTwoAttemptsWithoutBlocking) {
  ChildResult r = RunIsolated([] {
    NEventMQ owner(kKey, true);
    int id = owner.queue().getMQId();
    struct msqid_ds ds;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
    ds.msg_qbytes = 64;
    CHILD_CHECK_EQ(0, msgctl(id, IPC_SET, &ds));
    CHILD_CHECK_EQ(64, owner.queue().getMsgBufferSize());
    NEventMQ client(kKey, false);
    std::string fill(60, 'f');
    CHILD_CHECK_EQ(60, client.Send(fill.c_str(), 60));
    double t0 = Seconds();
    CHILD_CHECK_EQ(-1, client.Send("0123456789", 10));
    CHILD_CHECK(Seconds() - t0 < 0.5);
    CHILD_CHECK_EQ(1, owner.queue().getNumMessages());
    // An owner does not retry.
    CHILD_CHECK_EQ(-1, owner.Send("0123456789", 10));
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(3, Occurrences(r.err, "send()\t[EAGAIN(11)]")) << r.err;
  EXPECT_EQ(0, Occurrences(r.err, "open()")) << r.err;
}

TEST(SysVMsgQ, WrapperCallsAndReports) {
  ChildResult r = RunIsolated([] {
    NSysVMsgQ q;
    CHILD_CHECK_EQ(-1, q.getMQId());
    CHILD_CHECK(!q.open(kKey));
    CHILD_CHECK_EQ(-1, q.getNumMessages());
    CHILD_CHECK_EQ(-1, q.getMsgBufferSize());
    CHILD_CHECK(q.create(kKey));
    int id = q.getMQId();
    CHILD_CHECK(id >= 0);
    // Creating again opens the same queue.
    NSysVMsgQ again;
    CHILD_CHECK(again.create(kKey));
    CHILD_CHECK_EQ(id, again.getMQId());
    again.close();
    CHILD_CHECK_EQ(id, again.getMQId());

    NSysVMsg m;
    m.mtype = 5;
    memcpy(m.mtext, "abc", 3);
    CHILD_CHECK(q.send(&m, 3, IPC_NOWAIT));
    CHILD_CHECK_EQ(1, q.getNumMessages());
    NSysVMsg in;
    CHILD_CHECK_EQ(3, q.recv(&in, NSysVMsg::kTextSize, 5, IPC_NOWAIT));
    CHILD_CHECK_EQ(5L, in.mtype);
    // Sizes beyond the record would make the kernel run past it: refused.
    CHILD_CHECK(!q.send(&m, NSysVMsg::kTextSize + 1, IPC_NOWAIT));
    CHILD_CHECK_EQ(EINVAL, errno);
    CHILD_CHECK(!q.send(&m, -1, IPC_NOWAIT));
    CHILD_CHECK_EQ(-1, q.recv(&in, NSysVMsg::kTextSize + 1, 0, IPC_NOWAIT));
    CHILD_CHECK_EQ(0, q.getNumMessages());
    CHILD_CHECK(q.destroy());
    CHILD_CHECK_EQ(-1, q.getMQId());
    CHILD_CHECK(!q.destroy());
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(1, Occurrences(r.err, "open()\t[ENOENT(2)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "getNumMessages()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "getMsgBufferSize()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(2, Occurrences(r.err, "send()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "recv()\t[EINVAL(22)]")) << r.err;
  EXPECT_EQ(1, Occurrences(r.err, "destroy()\t[EINVAL(22)]")) << r.err;
}

TEST(SysVMsgQ, RecordLayoutMatchesTheKernels) {
  // Type first, then exactly 4092 bytes of text.
  EXPECT_EQ(0u, offsetof(NSysVMsg, mtype));
  EXPECT_EQ(sizeof(long), offsetof(NSysVMsg, mtext));
  EXPECT_EQ(4092u, sizeof(NSysVMsg::mtext));
}
