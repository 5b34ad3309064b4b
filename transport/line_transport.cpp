#include "line_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

enum { PEEK_SIZE = 1024 };

// A descriptor another part of the program made non-blocking still gets
// whole lines: its EAGAIN means "wait", while on a blocking socket EAGAIN
// means that its send or receive time-out ran out.
static bool wait_if_nonblocking(int sock, short events) {
  int flags = fcntl(sock, F_GETFL);
  if (flags < 0 || (flags & O_NONBLOCK) == 0) return false;
  pollfd p = {sock, events, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  return true;
}

static int send_bytes(int sock, const char* bytes, size_t total) {
  size_t sent = 0;
  while (sent < total) {
    // MSG_NOSIGNAL: a peer that went away must not end this process.
    ssize_t n = send(sock, bytes + sent, total - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_if_nonblocking(sock, POLLOUT)) continue;
      return 0;
    }
    sent += static_cast<size_t>(n);
  }
  return 1;
}

int send_line(int sock, const char* text) {
  const size_t total = strlen(text) + 1;
  return send_bytes(sock, text, total) ? static_cast<int>(total) : 0;
}

// Takes exactly `count` bytes that a peek has shown to be there.
static int consume(int sock, char* scratch, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = recv(sock, scratch + done, count - done, MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return 1;
}

int receive_line(int sock, char* buffer, int size) {
  if (size < 1) return LINE_FAILED;
  int kept = 0;
  buffer[0] = '\0';
  char chunk[PEEK_SIZE];
  for (;;) {
    // Peek first, then take only up to the NUL: the bytes behind it belong
    // to the next reader (the call channel reads right after the request).
    ssize_t n = recv(sock, chunk, sizeof(chunk), MSG_PEEK);
    if (n < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      const bool again = err == EAGAIN || err == EWOULDBLOCK;
      if (again && wait_if_nonblocking(sock, POLLIN)) continue;
      buffer[kept] = '\0';
      return LINE_FAILED;
    }
    if (n == 0) {
      buffer[kept] = '\0';
      return LINE_ENDED;
    }
    const char* nul = static_cast<const char*>(memchr(chunk, '\0', static_cast<size_t>(n)));
    size_t take = nul != nullptr ? static_cast<size_t>(nul - chunk) + 1 : static_cast<size_t>(n);
    if (!consume(sock, chunk, take)) {
      buffer[kept] = '\0';
      return LINE_FAILED;
    }
    size_t text = nul != nullptr ? take - 1 : take;
    size_t room = static_cast<size_t>(size - 1 - kept);
    size_t copy = text < room ? text : room;
    memcpy(buffer + kept, chunk, copy);
    kept += static_cast<int>(copy);
    if (nul != nullptr) {
      buffer[kept] = '\0';
      return kept + 1;
    }
  }
}
