#include "descriptor_passing.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

// The byte that carries a descriptor; a message without data is not sent.
static const char kCarrier = 'F';

namespace {

// One message: a byte and room for one descriptor.
struct Message {
  char byte = kCarrier;
  iovec data;
  msghdr header;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  Message() {
    data = {&byte, 1};
    memset(control, 0, sizeof(control));
    memset(&header, 0, sizeof(header));
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof(control);
  }
  Message(const Message&) = delete;
  Message& operator=(const Message&) = delete;
};

}  // namespace

int pass_descriptor(int link, int fd) {
  Message m;
  msghdr& message = m.header;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  memcpy(CMSG_DATA(c), &fd, sizeof(int));
  ssize_t n;
  do {
    n = sendmsg(link, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? 1 : 0;
}

// Closes every descriptor that message carried.
static void close_carried(msghdr* message) {
  for (cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; i++) {
      int fd;
      memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
      close(fd);
    }
  }
}

int receive_descriptor(int link, int* fd) {
  Message m;
  msghdr& message = m.header;
  ssize_t n;
  do {
    n = recvmsg(link, &message, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return 0;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  bool one = (message.msg_flags & MSG_CTRUNC) == 0 && c != nullptr &&
             c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
             c->cmsg_len == CMSG_LEN(sizeof(int));
  if (!one) {
    fprintf(stderr, "A client connection passed to this worker did not arrive whole%s\n",
            (message.msg_flags & MSG_CTRUNC) != 0 ? " (control data cut short)" : "");
    close_carried(&message);
    return -1;
  }
  memcpy(fd, CMSG_DATA(c), sizeof(int));
  return 1;
}

int send_note(int link, char note) {
  ssize_t n;
  do {
    n = send(link, &note, 1, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n == 1 ? 1 : 0;
}
