#include "first_line_wait.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

// Events asked for on a waiting connection: edge-triggered, because its
// bytes stay in the socket until their reader takes them; each arrival (and
// the client's end) is one event.
static const uint32_t kConnectionEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;
static const int kEventsPerRound = 64;

static int64_t now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

static uint64_t event_data(int fd, uint32_t tag) {
  return (static_cast<uint64_t>(tag) << 32) | static_cast<uint32_t>(fd);
}

FirstLineWait::FirstLineWait(int silence_seconds, Ready ready)
    : silence_seconds_(silence_seconds),
      ready_(std::move(ready)),
      epoll_fd_(epoll_create1(EPOLL_CLOEXEC)),
      last_sweep_(now_ms()),
      last_tag_(0) {}

FirstLineWait::~FirstLineWait() {
  for (const auto& c : connections_) close(c.first);
  if (epoll_fd_ >= 0) close(epoll_fd_);
}

uint32_t FirstLineWait::register_fd(int fd, uint32_t events) {
  if (++last_tag_ == 0) last_tag_ = 1;
  epoll_event e;
  memset(&e, 0, sizeof(e));
  e.events = events;
  e.data.u64 = event_data(fd, last_tag_);
  return epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &e) == 0 ? last_tag_ : 0;
}

void FirstLineWait::add(int sock, const sockaddr_in& addr) {
  uint32_t tag = register_fd(sock, kConnectionEvents);
  connections_[sock] = Connection{addr, now_ms(), tag};
  if (tag == 0) {
    drop(sock, "cannot be watched");
    return;
  }
  // Mostly the line is there already: no round through epoll for it.
  examine(sock, 0);
}

bool FirstLineWait::watch(int fd, uint32_t events, Handler handler) {
  uint32_t tag = register_fd(fd, events);
  if (tag == 0) return false;
  watched_[fd] = Watched{std::move(handler), tag};
  return true;
}

void FirstLineWait::unwatch(int fd) {
  if (watched_.erase(fd) == 0) return;
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
}

void FirstLineWait::drop(int sock, const char* why) {
  auto it = connections_.find(sock);
  if (it == connections_.end()) return;
  if (why != nullptr) {
    char ip[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &it->second.addr.sin_addr, ip, sizeof(ip)) == nullptr)
      snprintf(ip, sizeof(ip), "?");
    fprintf(stderr, "Closing the connection from %s: %s\n", ip, why);
  }
  connections_.erase(it);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, sock, nullptr);
  close(sock);
}

void FirstLineWait::client_left(int sock) {
  auto it = connections_.find(sock);
  if (it == connections_.end()) return;
  sockaddr_in addr = it->second.addr;
  drop(sock, nullptr);
  if (left_) left_(addr);
}

void FirstLineWait::examine(int sock, uint32_t events) {
  auto it = connections_.find(sock);
  if (it == connections_.end()) return;
  ssize_t n;
  do {
    n = recv(sock, peeked_, sizeof(peeked_) - 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && (events & (EPOLLHUP | EPOLLERR)) == 0)
    return;  // nothing yet
  if (n <= 0) {
    // The client left (or failed) before a line: nothing to serve.
    client_left(sock);
    return;
  }
  it->second.last_heard = now_ms();
  peeked_[n] = '\0';
  bool whole = memchr(peeked_, '\0', static_cast<size_t>(n)) != nullptr ||
               n == static_cast<ssize_t>(sizeof(peeked_) - 1);
  if (!whole) {
    // Part of a line with the client's end behind it never becomes one.
    if ((events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) client_left(sock);
    return;
  }
  sockaddr_in addr = it->second.addr;
  connections_.erase(it);
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, sock, nullptr);
  ready_(sock, addr, peeked_);
}

void FirstLineWait::end_silent_connections() {
  int64_t now = now_ms();
  if (now - last_sweep_ < 1000) return;  // a sweep a second is close enough
  last_sweep_ = now;
  std::vector<int> silent;
  for (const auto& c : connections_)
    if (now - c.second.last_heard >= silence_seconds_ * 1000LL) silent.push_back(c.first);
  for (int sock : silent) drop(sock, "no request line within the time limit");
}

bool FirstLineWait::run_once(int max_wait_ms) {
  epoll_event events[kEventsPerRound];
  int n = epoll_wait(epoll_fd_, events, kEventsPerRound, max_wait_ms);
  if (n < 0 && errno != EINTR) return false;
  for (int i = 0; i < n; i++) {
    int fd = static_cast<int>(static_cast<uint32_t>(events[i].data.u64));
    uint32_t tag = static_cast<uint32_t>(events[i].data.u64 >> 32);
    auto w = watched_.find(fd);
    if (w != watched_.end()) {
      if (w->second.tag != tag) continue;
      // A copy: the handler may unwatch its own descriptor.
      Handler handler = w->second.handler;
      handler(events[i].events);
      continue;
    }
    auto c = connections_.find(fd);
    if (c != connections_.end() && c->second.tag == tag) examine(fd, events[i].events);
  }
  end_silent_connections();
  return true;
}
