// Loopback plumbing of the benchmark: sockets, line readers, the client side
// of a plain call and the floor servers that the figures are compared with.
// Everything here talks to 127.0.0.1 only.
#ifndef VELMOR_BENCH_BENCH_NET_H_
#define VELMOR_BENCH_BENCH_NET_H_

#include <stdint.h>
#include <sys/types.h>

#include <string>

// Monotonic clock in nanoseconds.
int64_t now_ns();

// A listening socket on 127.0.0.1; port 0 picks a free one. -1 on failure.
int listen_loopback(int port, int backlog);
int bound_port(int fd);
// A port that was free a moment ago.
int free_loopback_port();
// Connects to 127.0.0.1:port with TCP_NODELAY set; -1 on failure.
int connect_loopback(int port, int source = 1);

// Sends text and its NUL whole; false on failure.
bool send_text(int fd, const char* text);

// Reads the lines of one connection. Buffered mode reads what is there;
// byte mode reads one byte per recv, as a reader that must not take bytes
// behind a line's NUL would without peeking.
class LineReader {
 public:
  // Reads through the caller's buffer, of at least a line's size.
  LineReader(int fd, bool one_byte, char* buffer, size_t size)
      : fd_(fd), one_byte_(one_byte), buf_(buffer), size_(size) {}
  // One line without its NUL; false at end of stream or error (a cut line too).
  bool next(std::string* line);
  // True once the peer has closed (after all lines were read).
  bool at_end();

 private:
  bool fill();
  int fd_;
  bool one_byte_;
  char* buf_;
  size_t size_;
  size_t start_ = 0;
  size_t end_ = 0;
};

// One plain call of bench_pid(1, 2) in the five exchanges of the protocol:
// START_FUNCTION / "__OK__", two arguments each answered "__OK__", the end of
// the arguments, the result and its acknowledgement; then the server's close.
// result gets the result line. False on any deviation.
// source: the client's address, 127.0.0.source.
bool plain_call(int port, const std::string& start_line, bool one_byte, std::string* result,
                int source = 1);

// The floor servers, run in a process of their own (velmor_bench --serve).
// "buffered" and "byte" serve the same exchanges as plain_call with a few
// threads that each accept; "tpc" gives every connection a thread of its own
// (the minimal thread-per-connection server). Never returns.
void serve_floor(const std::string& kind, int listen_fd);

// Sends count stream lines on a new connection to port, one send each,
// as fast as the socket takes them; then closes (velmor_bench --send-only).
int send_only(int port, int count);

#endif
