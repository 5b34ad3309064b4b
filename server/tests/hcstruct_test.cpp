#include "hcstruct.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

TEST(HCStruct, SendLineClosesTheRecordOnFailure) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  HCStruct hc;
  hc.sock_desc = fds[0];
  EXPECT_EQ(SEND_LINE(hc, "fine"), 5);
  EXPECT_NE(hc.sock_desc, 0);
  close(fds[1]);
  EXPECT_EQ(SEND_LINE(hc, "lost"), 0);
  EXPECT_EQ(hc.sock_desc, 0);
}

}  // namespace
