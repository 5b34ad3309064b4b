#include "line_io.h"

#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <cerrno>

// Waits until fd is ready for events; 1 ready, 0 time limit reached, -1 failed.
static int wait_for(int fd, short events, int timeout_ms) {
  pollfd p = {fd, events, 0};
  for (;;) {
    int rc = poll(&p, 1, timeout_ms);
    if (rc < 0 && errno == EINTR) continue;
    return rc < 0 ? -1 : rc;
  }
}

// Takes exactly count bytes that a peek has shown to be there.
static bool take(int fd, char* into, size_t count) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = recv(fd, into + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

int read_line(int fd, char* buffer, int size, int timeout_ms) {
  if (size < 1) return -1;
  buffer[0] = '\0';
  int stored = 0;
  char chunk[1024];
  bool begun = false;
  for (;;) {
    int wait_ms = begun && timeout_ms < kMidLineWaitMs ? kMidLineWaitMs : timeout_ms;
    int ready = wait_for(fd, POLLIN, wait_ms);
    if (ready == 0) return begun ? 0 : kLineTimedOut;
    if (ready < 0) return 0;
    ssize_t n = recv(fd, chunk, sizeof chunk, MSG_PEEK);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;  // closed (or failed) before the NUL
    const char* nul = static_cast<const char*>(memchr(chunk, '\0', static_cast<size_t>(n)));
    size_t count = nul != nullptr ? static_cast<size_t>(nul - chunk) + 1 : static_cast<size_t>(n);
    if (!take(fd, chunk, count)) return 0;
    begun = true;
    size_t text = nul != nullptr ? count - 1 : count;
    size_t room = static_cast<size_t>(size - 1 - stored);
    size_t keep = text < room ? text : room;
    memcpy(buffer + stored, chunk, keep);
    stored += static_cast<int>(keep);
    buffer[stored] = '\0';
    if (nul != nullptr) return stored + 1;
  }
}

bool write_line(int fd, const char* text, int timeout_ms) {
  const size_t total = strlen(text) + 1;
  size_t sent = 0;
  while (sent < total) {
    // Straight to the socket; a wait only when it is full.
    ssize_t n = send(fd, text + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    if (wait_for(fd, POLLOUT, timeout_ms) != 1) return false;
  }
  return true;
}
