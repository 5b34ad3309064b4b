// Waiting for the first whole request line of many connections in one
// thread: an epoll loop over every connection that has not yet sent one.
// A connection is handed on once its first line has arrived whole; nothing
// of it is consumed (its reader gets the line from the socket). A connection
// whose client leaves first, or stays silent for the silence limit, is
// closed. A thread per waiting connection cost a thread for every silent
// client. The same loop watches its owner's own descriptors (a listening
// socket, links to workers), so that the owner needs no thread of its own.
#ifndef VELMOR_SERVER_FIRST_LINE_WAIT_H_
#define VELMOR_SERVER_FIRST_LINE_WAIT_H_

#include <netinet/in.h>
#include <stdint.h>
#include <time.h>

#include <functional>
#include <unordered_map>

class FirstLineWait {
 public:
  // Gets a connection whose first line has arrived: its socket (the callee
  // owns it from then on), its client's address and the line as far as it
  // was peeked (NUL-terminated; cut at kPeekSize - 1 characters).
  typedef std::function<void(int sock, const sockaddr_in& addr, const char* line)> Ready;
  // Gets the epoll events of a watched descriptor.
  typedef std::function<void(uint32_t events)> Handler;

  // Bytes looked at for a line's end. A longer first line is handed on
  // without its end (its reader cuts it anyway).
  enum { kPeekSize = 4096 };

  FirstLineWait(int silence_seconds, Ready ready);
  ~FirstLineWait();  // closes the connections still waiting
  FirstLineWait(const FirstLineWait&) = delete;
  FirstLineWait& operator=(const FirstLineWait&) = delete;

  // False when the epoll instance could not be made.
  bool ok() const { return epoll_fd_ >= 0; }

  // Takes a connected socket over and waits for its first line, which may
  // have arrived already (then ready runs at once, in this call). A socket
  // that cannot be watched is closed.
  void add(int sock, const sockaddr_in& addr);

  // Watches one of the owner's descriptors (level-triggered) for events;
  // handler runs in run_once. The descriptor stays the owner's; unwatch
  // before closing it. False when epoll refuses it.
  bool watch(int fd, uint32_t events, Handler handler);
  void unwatch(int fd);

  // Waits up to max_wait_ms for events and handles them, then closes the
  // connections silent for the limit. False when the wait failed for
  // another reason than a signal.
  bool run_once(int max_wait_ms);

  // Connections waiting for their first line.
  size_t waiting() const { return connections_.size(); }

  // Gets the address of a client that left before a whole first line (its
  // socket is closed by then); set before the first add.
  typedef std::function<void(const sockaddr_in& addr)> Left;
  void on_leaving(Left left) { left_ = std::move(left); }

 private:
  struct Connection {
    sockaddr_in addr;
    int64_t last_heard;  // monotonic milliseconds
    uint32_t tag;
  };
  struct Watched {
    Handler handler;
    uint32_t tag;
  };

  // Registers fd with epoll under a new tag; 0 when epoll refuses it. An
  // event carries its tag, so that an event of a descriptor closed earlier
  // in the same round never reaches a new one with the same number.
  uint32_t register_fd(int fd, uint32_t events);
  // Looks at what arrived on sock: ready, closed, or still waiting.
  void examine(int sock, uint32_t events);
  void drop(int sock, const char* why);
  void client_left(int sock);
  void end_silent_connections();

  const int silence_seconds_;
  Ready ready_;
  Left left_;
  int epoll_fd_;
  int64_t last_sweep_;  // monotonic milliseconds
  uint32_t last_tag_;
  std::unordered_map<int, Connection> connections_;
  std::unordered_map<int, Watched> watched_;
  char peeked_[kPeekSize];
};

#endif
