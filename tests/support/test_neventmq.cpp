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

static const int kKey = 0x106;

TEST(EventMQ, EventsCutToFitAndAFullQueueRetriedOnce) {
  ChildResult r = RunIsolated([] {
    {
      // A client of an absent key fails without creating the queue.
      NEventMQ early;
      CHILD_CHECK(!early.connect(kKey) && msgget(kKey, 0) < 0);
      CHILD_CHECK_EQ(-1, early.Recv(nullptr, 0));  // no queue to read
      NEventMQ owner(kKey, true), client(kKey, false);
      const int id = owner.queue().getMQId();
      static char buf[8192];
      CHILD_CHECK_EQ(4092, client.Send(std::string(6000, 'c').c_str(), 6000));
      CHILD_CHECK_EQ(1, client.Wait(0, 0));
      CHILD_CHECK(owner.Recv(buf, sizeof buf) == 4092 && std::string(buf) == std::string(4092, 'c'));
      // A len beyond the text's own end sends NULs, not whatever an earlier message left.
      CHILD_CHECK_EQ(6, client.Send("ab", 6));
      CHILD_CHECK(owner.Recv(buf, sizeof buf) == 6 && std::string(buf, 7) == std::string("ab\0\0\0\0", 7));
      // A message that does not fit, its terminator included, is consumed all the same.
      CHILD_CHECK(client.Send("0123456789", 10) == 10 && client.Send("9876543210", 10) == 10);
      CHILD_CHECK(owner.Recv(buf, 10) == -1 && owner.Recv(buf, 11) == 10 && std::string(buf) == "9876543210");
      // Sizes beyond the record would make the kernel run past it: refused.
      NSysVMsg m{5, "abc"};
      CHILD_CHECK(!owner.queue().send(&m, NSysVMsg::kTextSize + 1, IPC_NOWAIT) && errno == EINVAL);
      CHILD_CHECK_EQ(-1, owner.queue().recv(&m, -1, 0, IPC_NOWAIT));
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
    CHILD_CHECK(msgget(kKey, 0) < 0 && errno == ENOENT);  // the owner removes it
    return 0;
  });
  EXPECT_CHILD_OK(r);
  // The namespace's first queue has id 0: a valid queue, created without a report.
  for (auto line : {std::make_pair("open()\t[ENOENT(2)]", 1),
                    {"create()", 0},
                    {"send()\t[EAGAIN(11)]", 3},
                    {"send()\t[EINVAL(22)]", 1},
                    {"recv()\t[EINVAL(22)]", 1},
                    {"Stack Trace:", 6}})
    EXPECT_EQ(line.second, Occurrences(r.err, line.first)) << line.first << r.err;
}
