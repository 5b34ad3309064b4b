#include "line_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace {

struct SocketPair {
  int a = -1, b = -1;
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
      a = fds[0];
      b = fds[1];
    }
  }
  ~SocketPair() {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
  }
  void close_b() {
    close(b);
    b = -1;
  }
};

void write_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
}

// What the peer writes (NULs included), then what one receive_line with a
// 1024-byte buffer must give.
struct ReceiveCase {
  const char* name;
  std::string wire;
  bool close_after;
  int expected_rc;
  std::string expected_text;
};

TEST(LineTransport, ReceiveCases) {
  const std::string a1023(1023, 'a');
  const std::string b2000(2000, 'b');
  const ReceiveCase cases[] = {
      {"short", std::string("hello\0", 6), false, 6, "hello"},
      {"empty line", std::string("\0", 1), false, 1, ""},
      {"exactly 1023", a1023 + std::string("\0", 1), false, 1024, a1023},
      {"2000 cut to 1023", b2000 + std::string("\0", 1), false, 1024, std::string(1023, 'b')},
      // A line is a line only when its NUL arrived: cut-off text is
      // reported as the end, never as a line.
      {"closed before any byte", "", true, LINE_ENDED, ""},
      {"closed mid-line", "abc", true, LINE_ENDED, "abc"},
      {"closed mid-way through a long line", b2000, true, LINE_ENDED, std::string(1023, 'b')},
      {"empty line then close", std::string("\0", 1), true, 1, ""},
  };
  for (const ReceiveCase& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair p;
    // A writer thread: a long line does not fit the socket buffer at once.
    std::thread writer([&] {
      write_all(p.b, c.wire);
      if (c.close_after) p.close_b();
    });
    char buffer[1024];
    memset(buffer, 'x', sizeof(buffer));
    int rc = receive_line(p.a, buffer, sizeof(buffer));
    writer.join();
    EXPECT_EQ(rc, c.expected_rc);
    EXPECT_EQ(std::string(buffer), c.expected_text);
  }
}

TEST(LineTransport, LeavesBytesAfterTheNulInTheSocket) {
  SocketPair p;
  std::string wire = std::string(2000, 'c') + std::string("\0second\0tail", 12);
  write_all(p.b, wire);
  char buffer[1024];
  EXPECT_EQ(receive_line(p.a, buffer, sizeof(buffer)), 1024);
  EXPECT_EQ(receive_line(p.a, buffer, sizeof(buffer)), 7);
  EXPECT_STREQ(buffer, "second");
  // The unterminated rest is still in the socket, untouched.
  char rest[16] = {0};
  EXPECT_EQ(recv(p.a, rest, sizeof(rest), MSG_DONTWAIT), 4);
  EXPECT_STREQ(rest, "tail");
}

TEST(LineTransport, TwoLinesInOneSegmentEachGoToTheirReader) {
  SocketPair p;
  write_all(p.b, std::string("first\0second\0", 13));
  p.close_b();
  char buffer[1024];
  EXPECT_EQ(receive_line(p.a, buffer, sizeof(buffer)), 6);
  EXPECT_STREQ(buffer, "first");
  // The second line is still whole in the socket for the next reader.
  char raw[16] = {0};
  EXPECT_EQ(recv(p.a, raw, sizeof(raw), MSG_PEEK), 7);
  EXPECT_EQ(receive_line(p.a, buffer, sizeof(buffer)), 7);
  EXPECT_STREQ(buffer, "second");
  EXPECT_EQ(receive_line(p.a, buffer, sizeof(buffer)), LINE_ENDED);
}

TEST(LineTransport, SevenByteBufferKeepsAnAcknowledgement) {
  SocketPair p;
  write_all(p.b, std::string("__OK__\0__OK__MORE\0", 18));
  char ack[7];
  EXPECT_EQ(receive_line(p.a, ack, sizeof(ack)), 7);
  EXPECT_STREQ(ack, "__OK__");
  EXPECT_EQ(receive_line(p.a, ack, sizeof(ack)), 7);
  EXPECT_STREQ(ack, "__OK__");
}

TEST(LineTransport, SendCountsTheNul) {
  SocketPair p;
  EXPECT_EQ(send_line(p.a, ""), 1);
  EXPECT_EQ(send_line(p.a, "abc"), 4);
  char raw[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(recv(p.b, raw, sizeof(raw), MSG_DONTWAIT), 5);
  EXPECT_EQ(std::string(raw, 5), std::string("\0abc\0", 5));
}

TEST(LineTransport, SlowReaderGetsTheWholeLine) {
  SocketPair p;
  int small = 4096;
  setsockopt(p.a, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
  const std::string big(300000, 'z');
  std::string got;
  std::thread reader([&] {
    char chunk[512];
    for (;;) {
      usleep(200);
      ssize_t n = recv(p.b, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      got.append(chunk, static_cast<size_t>(n));
      if (got.size() == big.size() + 1) break;
    }
  });
  EXPECT_EQ(send_line(p.a, big.c_str()), static_cast<int>(big.size() + 1));
  reader.join();
  EXPECT_EQ(got, big + std::string("\0", 1));
}

TEST(LineTransport, SendToClosedPeerReturnsZeroWithoutSignal) {
  // With SIGPIPE at its default action a signal would end this test program.
  struct sigaction old;
  struct sigaction dfl;
  memset(&dfl, 0, sizeof(dfl));
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  SocketPair p;
  p.close_b();
  EXPECT_EQ(send_line(p.a, "nobody listens"), 0);
  sigaction(SIGPIPE, &old, nullptr);
}

// A line that arrives over loopback TCP one byte per segment.
TEST(LineTransport, LineSplitAcrossManyTcpSegments) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  socklen_t len = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  ASSERT_EQ(listen(listener, 1), 0);

  const std::string text = "START_FUNCTION~module~function~4000~01 Jan 2026 10:00:00 GMT";
  std::thread writer([&] {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return;
    for (size_t i = 0; i <= text.size(); i++) {
      if (write(s, text.c_str() + i, 1) != 1) break;
      usleep(1000);
    }
    write(s, "next", 5);
    close(s);
  });
  int conn = accept(listener, nullptr, nullptr);
  ASSERT_GE(conn, 0);
  char buffer[1024];
  EXPECT_EQ(receive_line(conn, buffer, sizeof(buffer)), static_cast<int>(text.size() + 1));
  EXPECT_EQ(std::string(buffer), text);
  EXPECT_EQ(receive_line(conn, buffer, sizeof(buffer)), 5);
  EXPECT_STREQ(buffer, "next");
  writer.join();
  close(conn);
  close(listener);
}

}  // namespace
