#include "line_transport.h"

#include <errno.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>

// Blocks until sock is ready for reading (for_write false) or writing.
// Returns select's result: -1 failed, 0 not ready, 1 ready.
static int wait_for(int sock, bool for_write) {
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock, &set);
    int rc = for_write ? select(sock + 1, nullptr, &set, nullptr, nullptr)
                       : select(sock + 1, &set, nullptr, nullptr, nullptr);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) return -1;
    return FD_ISSET(sock, &set) ? 1 : 0;
  }
}

int send_line(int sock, const char* text) {
  const size_t total = strlen(text) + 1;
  size_t sent = 0;
  while (sent < total) {
    int ready = wait_for(sock, true);
    if (ready < 0) return 0;
    if (ready == 0) continue;
    // MSG_NOSIGNAL: a peer that went away must not end this process.
    ssize_t n = send(sock, text + sent, total - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return 0;
    }
    sent += static_cast<size_t>(n);
  }
  return static_cast<int>(total);
}

int receive_line(int sock, char* buffer, int size) {
  if (size < 1) return -1;
  int ready = wait_for(sock, false);
  if (ready < 0) return -1;
  buffer[0] = '\0';
  if (ready == 0) return 0;

  // One byte per call: the bytes behind the NUL belong to the next reader.
  int pos = 0;
  for (;;) {
    char c;
    ssize_t n = recv(sock, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      buffer[pos] = '\0';
      return pos;
    }
    if (c == '\0') {
      buffer[pos] = '\0';
      return pos + 1;
    }
    if (pos < size - 1) buffer[pos++] = c;
  }
}
