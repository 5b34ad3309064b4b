// The client's line reader on a loopback TCP connection: a line is read up to
// its NUL and not one byte further, however the bytes arrive.
#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "line_io.h"

namespace {

// A connected loopback TCP pair; the writer end sends each piece as a
// segment of its own.
class LoopbackPair {
 public:
  LoopbackPair() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    writer_ = socket(AF_INET, SOCK_STREAM, 0);
    connect(writer_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    reader_ = accept(listener, nullptr, nullptr);
    close(listener);
    int on = 1;
    setsockopt(writer_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  }
  ~LoopbackPair() {
    close_writer();
    if (reader_ >= 0) close(reader_);
  }
  int reader() const { return reader_; }
  void write(const std::string& bytes) {
    ASSERT_EQ(send(writer_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  }
  void close_writer() {
    if (writer_ >= 0) close(writer_);
    writer_ = -1;
  }

 private:
  int reader_ = -1;
  int writer_ = -1;
};

// Bytes the socket still holds for the next reader (it waits for them briefly).
std::string left_in_socket(int fd, size_t expected) {
  std::string out;
  char c[256];
  while (out.size() < expected) {
    ssize_t n = recv(fd, c, sizeof c, 0);
    if (n <= 0) break;
    out.append(c, static_cast<size_t>(n));
  }
  return out;
}

struct Case {
  const char* name;
  std::vector<std::string> pieces;  // written one segment each
  bool close_after;
  int expect_rc;
  std::string expect_text;
  std::string expect_left;  // what the next reader finds
};

TEST(LineIo, ReadsUpToTheNulAndNoFurther) {
  const std::string longline(2000, 'x');
  std::vector<std::string> split;
  for (char c : std::string("split over many segments")) split.push_back(std::string(1, c));
  split.push_back(std::string(1, '\0'));
  const Case cases[] = {
      {"many segments", split, false, 25, "split over many segments", ""},
      {"two lines in one segment", {std::string("first\0second\0", 13)}, false, 6, "first",
       std::string("second\0", 7)},
      {"empty line", {std::string("\0", 1)}, false, 1, "", ""},
      {"peer closes mid-line", {"abc"}, true, 0, "abc", ""},
      {"peer closes before a byte", {}, true, 0, "", ""},
      {"2000 characters cut at 1023", {longline + std::string("\0next\0", 6)}, false, 1024,
       longline.substr(0, 1023), std::string("next\0", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackPair pair;
    std::thread writer([&] {
      for (const std::string& piece : c.pieces) {
        pair.write(piece);
        usleep(2000);  // lets each piece arrive as a segment of its own
      }
      if (c.close_after) pair.close_writer();
    });
    char buffer[1024];
    int rc = read_line(pair.reader(), buffer, sizeof buffer, 10000);
    writer.join();
    EXPECT_EQ(rc, c.expect_rc);
    EXPECT_EQ(std::string(buffer), c.expect_text);
    EXPECT_EQ(left_in_socket(pair.reader(), c.expect_left.size()), c.expect_left);
  }
}

TEST(LineIo, ASilentPeerEndsTheWaitWithoutALine) {
  LoopbackPair pair;
  char buffer[1024];
  EXPECT_EQ(read_line(pair.reader(), buffer, sizeof buffer, 100), kLineTimedOut);
  pair.write(std::string("whole\0", 6));
  EXPECT_EQ(read_line(pair.reader(), buffer, sizeof buffer, 100), 6);
  EXPECT_STREQ(buffer, "whole");
}

// A caller polling with a short limit gets the line whole once it has begun:
// its first half is never dropped and its second half never read as a line.
TEST(LineIo, ALineThatHasBegunIsAwaitedPastAShortLimit) {
  LoopbackPair pair;
  pair.write("no end yet");
  std::thread writer([&] {
    usleep(400000);
    pair.write(std::string(" after all\0", 11));
  });
  char buffer[1024];
  int rc = read_line(pair.reader(), buffer, sizeof buffer, 100);
  writer.join();
  EXPECT_EQ(rc, 21);
  EXPECT_STREQ(buffer, "no end yet after all");
}

TEST(LineIo, WritesTheLineAndItsNul) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  EXPECT_TRUE(write_line(fds[0], "hello", 1000));
  EXPECT_TRUE(write_line(fds[0], "", 1000));
  EXPECT_EQ(left_in_socket(fds[1], 7), std::string("hello\0\0", 7));
  close(fds[1]);
  EXPECT_FALSE(write_line(fds[0], "to nobody", 1000));
  close(fds[0]);
}

}  // namespace
