#include "bench_net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

static sockaddr_in loopback(int port) {
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int listen_loopback(int port, int backlog) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in a = loopback(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in a;
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

int free_loopback_port() {
  int fd = listen_loopback(0, 1);
  if (fd < 0) return 0;
  int port = bound_port(fd);
  close(fd);
  return port;
}

static void no_delay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int connect_loopback(int port, int source) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a = loopback(port);
  sockaddr_in from = loopback(0);
  from.sin_addr.s_addr = htonl((127u << 24) | static_cast<uint32_t>(source));
  if ((source != 1 && bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) ||
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  no_delay(fd);
  // A server that never answers fails the call instead of hanging the run.
  timeval limit = {30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

bool send_text(int fd, const char* text) {
  size_t total = strlen(text) + 1;
  size_t sent = 0;
  while (sent < total) {
    ssize_t n = send(fd, text + sent, total - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool LineReader::fill() {
  if (start_ == end_) start_ = end_ = 0;
  if (end_ == size_) {
    if (start_ == 0) return false;  // a line longer than the buffer: not ours
    memmove(buf_, buf_ + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  size_t want = one_byte_ ? 1 : size_ - end_;
  for (;;) {
    ssize_t n = recv(fd_, buf_ + end_, want, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    end_ += static_cast<size_t>(n);
    return true;
  }
}

bool LineReader::next(std::string* line) {
  size_t scanned = 0;  // bytes behind start_ already searched for the NUL
  for (;;) {
    void* nul = memchr(buf_ + start_ + scanned, '\0', end_ - start_ - scanned);
    if (nul != nullptr) {
      size_t at = static_cast<size_t>(static_cast<char*>(nul) - buf_);
      line->assign(buf_ + start_, at - start_);
      start_ = at + 1;
      return true;
    }
    scanned = end_ - start_;
    if (!fill()) return false;
  }
}

bool LineReader::at_end() { return start_ == end_ && !fill(); }

bool plain_call(int port, const std::string& start_line, bool one_byte, std::string* result,
                int source) {
  int fd = connect_loopback(port, source);
  if (fd < 0) return false;
  char buffer[4096];
  LineReader in(fd, one_byte, buffer, sizeof buffer);
  std::string reply;
  bool ok = send_text(fd, start_line.c_str()) && in.next(&reply) && reply == "__OK__" &&
            send_text(fd, "1") && in.next(&reply) && reply == "__OK__" && send_text(fd, "2") &&
            in.next(&reply) && reply == "__OK__" && send_text(fd, "__END_OF_ARGUMENTS__") &&
            in.next(result) && send_text(fd, "__OK__") && in.at_end();
  close(fd);
  return ok;
}

// --- Floor servers -------------------------------------------------------

static const char kFloorStamp[] = "01 Jan 2026 00:00:00 GMT";

// The server's half of plain_call, or the answer to a readiness probe. An
// idle connection just waits in recv.
static void floor_conversation(int fd, bool one_byte) {
  no_delay(fd);
  // A line's size: what a lean thread-per-connection server keeps per connection.
  char buffer[1024];
  LineReader in(fd, one_byte, buffer, sizeof buffer);
  std::string line;
  if (!in.next(&line)) return;
  if (line.compare(0, 12, "GET_UPD_TIME") == 0) {
    send_text(fd, kFloorStamp);
    return;
  }
  if (!send_text(fd, "__OK__") || !in.next(&line) || !send_text(fd, "__OK__") ||
      !in.next(&line) || !send_text(fd, "__OK__") || !in.next(&line) || !send_text(fd, "12345"))
    return;
  in.next(&line);  // the acknowledgement
}

struct FloorArgs {
  int listen_fd;
  bool one_byte;
};

static void* accept_loop(void* arg) {
  FloorArgs* a = static_cast<FloorArgs*>(arg);
  for (;;) {
    int fd = accept(a->listen_fd, nullptr, nullptr);
    if (fd < 0) continue;
    floor_conversation(fd, a->one_byte);
    close(fd);
  }
  return nullptr;
}

static void* tpc_thread(void* arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  floor_conversation(fd, false);
  close(fd);
  return nullptr;
}

void serve_floor(const std::string& kind, int listen_fd) {
  if (kind == "tpc") {
    for (;;) {
      int fd = accept(listen_fd, nullptr, nullptr);
      if (fd < 0) continue;
      pthread_t t;
      if (pthread_create(&t, nullptr, tpc_thread, reinterpret_cast<void*>(intptr_t{fd})) != 0) {
        close(fd);
        continue;
      }
      pthread_detach(t);
    }
  }
  // Enough acceptors that 32 client threads never wait for a free one long.
  static const int kAcceptors = 8;
  FloorArgs args = {listen_fd, kind == "byte"};
  for (int i = 1; i < kAcceptors; i++) {
    pthread_t t;
    pthread_create(&t, nullptr, accept_loop, &args);
  }
  accept_loop(&args);
  _exit(0);
}

int send_only(int port, int count) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = loopback(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 1;
  char line[128];
  for (int i = 1; i <= count; i++) {
    snprintf(line, sizeof line, "#STREAM_floor_1_1_1=%d", i);
    if (!send_text(fd, line)) return 1;
  }
  send_text(fd, "#STREAM_floor_1_1_1");
  close(fd);
  return 0;
}
