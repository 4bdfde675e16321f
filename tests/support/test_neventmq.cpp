// SysV queue wrapper and event channel, against real queues in a private IPC namespace.
#include <errno.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <string>

#include <gtest/gtest.h>

#include "NEventMQ.h"
#include "NMQueue.h"
#include "child_check.h"
#include "ipc_check.h"

using ipccheck::Occurrences;
using testutil::ChildResult;
using testutil::RunIsolated;

namespace {

const int kKey = 0x106;

}  // namespace

TEST(EventMQ, EventsCutToFitAndAFullQueueRetriedOnce) {
  ChildResult r = RunIsolated([] {
    int id;
    {
      NEventMQ owner(kKey, true), client(kKey, false);
      id = owner.queue().getMQId();
      static char buf[8192];
      CHILD_CHECK_EQ(4092, client.Send(std::string(6000, 'c').c_str(), 6000));
      CHILD_CHECK_EQ(1, client.Wait(0, 0));
      CHILD_CHECK(owner.Recv(buf, sizeof buf) == 4092 && std::string(buf) == std::string(4092, 'c'));
      // A len beyond the text's own end sends NULs, not whatever an earlier message left.
      CHILD_CHECK_EQ(6, client.Send("ab", 6));
      CHILD_CHECK(owner.Recv(buf, sizeof buf) == 6 && std::string(buf, 7) == std::string("ab\0\0\0\0", 7));
      // A message that does not fit is consumed all the same.
      CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
      CHILD_CHECK(owner.Recv(buf, 10) == -1 && owner.Wait(0, 0) == 0);
      CHILD_CHECK_EQ(10, client.Send("0123456789", 10));
      CHILD_CHECK_EQ(10, owner.Recv(buf, 11));
      CHILD_CHECK_EQ(std::string("0123456789"), std::string(buf));
      msqid_ds ds;
      CHILD_CHECK_EQ(0, msgctl(id, IPC_STAT, &ds));
      ds.msg_qbytes = 64;
      CHILD_CHECK_EQ(0, msgctl(id, IPC_SET, &ds));
      CHILD_CHECK_EQ(60, client.Send(std::string(60, 'f').c_str(), 60));
      CHILD_CHECK_EQ(-1, client.Send("0123456789", 10));
      CHILD_CHECK_EQ(-1, owner.Send("0123456789", 10));  // an owner does not retry
      client.disconnect();
      CHILD_CHECK_EQ(1, owner.queue().getNumMessages());  // a client leaves the queue
    }
    // The owner removes it.
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);
    return 0;
  });
  EXPECT_CHILD_OK(r);
  EXPECT_EQ(3, Occurrences(r.err, "send()\t[EAGAIN(11)]")) << r.err;
  EXPECT_EQ(3, Occurrences(r.err, "Stack Trace:")) << r.err;
}

TEST(SysVMsgQ, WrapperCallsAndReports) {
  ChildResult r = RunIsolated([] {
    // A client of an absent key fails without creating the queue.
    NEventMQ client;
    CHILD_CHECK(!client.connect(kKey) && msgget(kKey, 0) < 0);
    NSysVMsgQ q;
    CHILD_CHECK_EQ(-1, q.getNumMessages());
    CHILD_CHECK(q.create(kKey) && q.getMQId() >= 0);
    NSysVMsg m{5, "abc"}, in;
    CHILD_CHECK(q.send(&m, 3, IPC_NOWAIT) && q.getNumMessages() == 1);
    CHILD_CHECK_EQ(3, q.recv(&in, NSysVMsg::kTextSize, 5, IPC_NOWAIT));
    // Sizes beyond the record would make the kernel run past it: refused.
    CHILD_CHECK(!q.send(&m, NSysVMsg::kTextSize + 1, IPC_NOWAIT) && errno == EINVAL);
    CHILD_CHECK_EQ(-1, q.recv(&in, -1, 0, IPC_NOWAIT));
    CHILD_CHECK(q.destroy() && !q.destroy());
    return 0;
  });
  EXPECT_CHILD_OK(r);
  // The namespace's first queue has id 0: a valid queue, created without a report.
  for (auto line : {std::make_pair("open()\t[ENOENT(2)]", 1),
                    {"create()", 0},
                    {"getNumMessages()\t[EINVAL(22)]", 1},
                    {"destroy()\t[EINVAL(22)]", 1},
                    {"send()\t[EINVAL(22)]", 1},
                    {"recv()\t[EINVAL(22)]", 1}})
    EXPECT_EQ(line.second, Occurrences(r.err, line.first)) << line.first << r.err;
}
