// The per-user server's wait for first request lines and its passing of
// sockets to a worker, each on its own: loopback and Unix socket pairs.
#include "first_line_wait.h"

#include <arpa/inet.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "descriptor_passing.h"
#include "line_transport.h"

namespace {

struct Pair {
  int client = -1, server = -1;
  Pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      client = fds[0];
      server = fds[1];
    }
  }
  ~Pair() {
    if (client >= 0) close(client);
  }
};

// The end, or a reset when the peer closed with bytes of ours unread.
bool closed_by_peer(int fd) {
  pollfd p = {fd, POLLIN, 0};
  char c;
  return poll(&p, 1, 2000) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

struct Readiness {
  std::vector<std::string> lines;
  std::vector<int> socks;
  FirstLineWait wait;
  explicit Readiness(int silence_seconds)
      : wait(silence_seconds, [this](int sock, const sockaddr_in&, const char* line) {
          lines.push_back(line);
          socks.push_back(sock);
        }) {}
  ~Readiness() {
    for (int s : socks) close(s);
  }
  void rounds(int n) {
    for (int i = 0; i < n; i++) wait.run_once(20);
  }
};

// A connection is handed on only once its line's NUL has arrived, with
// nothing of it consumed; one that ends first, whole or mid-line, is closed.
TEST(FirstLineWait, HandsOnWholeLinesOnlyAndLeavesThemInTheSocket) {
  Readiness r(60);
  ASSERT_TRUE(r.wait.ok());
  Pair early, late, silent, cut, gone;
  write(early.client, "givefm~1\0next\0", 14);
  sockaddr_in addr = {};
  for (Pair* p : {&early, &late, &silent, &cut, &gone}) r.wait.add(p->server, addr);
  ASSERT_EQ(r.lines, std::vector<std::string>({"givefm~1"}));  // there at once
  write(late.client, "START_FUN", 9);
  r.rounds(3);
  EXPECT_EQ(r.lines.size(), 1u);
  write(late.client, "CTION~m\0", 8);
  write(cut.client, "pid", 3);
  shutdown(cut.client, SHUT_WR);
  shutdown(gone.client, SHUT_WR);
  r.rounds(5);
  EXPECT_EQ(r.lines, std::vector<std::string>({"givefm~1", "START_FUNCTION~m"}));
  EXPECT_EQ(r.wait.waiting(), 1u);  // the silent one
  EXPECT_TRUE(closed_by_peer(cut.client));
  EXPECT_TRUE(closed_by_peer(gone.client));
  char line[64];
  ASSERT_EQ(receive_line(r.socks[0], line, sizeof(line)), 9);
  EXPECT_STREQ(line, "givefm~1");
  ASSERT_EQ(receive_line(r.socks[0], line, sizeof(line)), 5);
  EXPECT_STREQ(line, "next");
}

TEST(FirstLineWait, EndsConnectionsSilentForTheLimit) {
  Readiness r(1);
  Pair silent;
  sockaddr_in addr = {};
  r.wait.add(silent.server, addr);
  for (int i = 0; i < 150 && r.wait.waiting() > 0; i++) r.wait.run_once(20);
  EXPECT_EQ(r.wait.waiting(), 0u);
  EXPECT_TRUE(closed_by_peer(silent.client));
  EXPECT_TRUE(r.lines.empty());
}

TEST(FirstLineWait, WatchesItsOwnersDescriptors) {
  Readiness r(60);
  Pair own;
  int events = 0;
  ASSERT_TRUE(r.wait.watch(own.server, POLLIN, [&](uint32_t) {
    char c;
    if (recv(own.server, &c, 1, 0) == 1) events++;
  }));
  write(own.client, "ab", 2);
  r.rounds(3);
  EXPECT_EQ(events, 2);
  r.wait.unwatch(own.server);
  write(own.client, "c", 1);
  r.rounds(2);
  EXPECT_EQ(events, 2);
  close(own.server);
}

// One socket per message arrives whole; a message that carries more than
// its reader has room for is refused, and nothing of it stays open.
TEST(DescriptorPassing, OneDescriptorPerMessageOrRefused) {
  int link[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, link), 0);
  Pair conversation;
  ASSERT_EQ(pass_descriptor(link[0], conversation.server), 1);
  int got = -1;
  ASSERT_EQ(receive_descriptor(link[1], &got), 1);
  ASSERT_GE(got, 0);
  EXPECT_GE(send_line(got, "through"), 1);
  char line[16];
  ASSERT_EQ(receive_line(conversation.client, line, sizeof(line)), 8);
  close(got);

  // Two descriptors in one message: the control data is cut short.
  int fds[2] = {conversation.server, conversation.server};
  char byte = 'F';
  iovec data = {&byte, 1};
  char space[CMSG_SPACE(sizeof(fds))] = {};
  msghdr message = {};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = space;
  message.msg_controllen = sizeof(space);
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(fds));
  memcpy(CMSG_DATA(c), fds, sizeof(fds));
  ASSERT_EQ(sendmsg(link[0], &message, 0), 1);
  EXPECT_EQ(receive_descriptor(link[1], &got), -1);
  close(conversation.server);
  conversation.server = -1;
  EXPECT_TRUE(closed_by_peer(conversation.client));  // no copy left open

  close(link[0]);
  EXPECT_EQ(receive_descriptor(link[1], &got), 0);
  close(link[1]);
}

}  // namespace
