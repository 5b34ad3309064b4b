// Helpers for channel tests: a socket pair whose far end plays the client,
// loopback listeners on free ports, bounded reads.
#ifndef VELMOR_EXCHANGE_TESTS_CHANNEL_TEST_SUPPORT_H_
#define VELMOR_EXCHANGE_TESTS_CHANNEL_TEST_SUPPORT_H_

#include <netinet/in.h>

#include <string>
#include <vector>

// Connected stream pair: near for the channel, far for the test's client.
struct SocketPair {
  int near_end;
  int far_end;
  SocketPair();
  ~SocketPair();
};

// One NUL-ended line from sock, waiting at most timeout_ms. False on time-out
// or end of stream.
bool read_line(int sock, std::string* line, int timeout_ms = 5000);
// Every line that arrives within timeout_ms of the previous one.
std::vector<std::string> read_lines(int sock, int timeout_ms = 300);
// Writes text and its NUL.
void write_line(int sock, const std::string& text);
// True when sock has nothing to read (and is still open) for wait_ms.
bool stays_quiet(int sock, int wait_ms = 200);

// A listening TCP socket on 127.0.0.x.
struct Listener {
  int fd;
  int port;
  Listener(const char* address, int port);  // port 0: any free port
  ~Listener();
  // Accepts one connection within timeout_ms; -1 when none came.
  int accept_one(int timeout_ms = 5000);
};

// Two listeners on a free port and the port above it (the call-back port and
// the stream port of one client).
struct CallbackPorts {
  Listener* callback;
  Listener* stream;
  explicit CallbackPorts(const char* address = "127.0.0.1");
  ~CallbackPorts();
};

sockaddr_in loopback_address(const char* address, int port);

#endif
