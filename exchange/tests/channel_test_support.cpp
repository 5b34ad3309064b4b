#include "channel_test_support.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

SocketPair::SocketPair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
  near_end = fds[0];
  far_end = fds[1];
}

SocketPair::~SocketPair() {
  if (near_end > 0) close(near_end);
  if (far_end > 0) close(far_end);
}

static bool readable(int sock, int timeout_ms) {
  pollfd p = {sock, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

bool read_line(int sock, std::string* line, int timeout_ms) {
  line->clear();
  for (;;) {
    if (!readable(sock, timeout_ms)) return false;
    char c;
    if (recv(sock, &c, 1, 0) != 1) return false;
    if (c == '\0') return true;
    line->push_back(c);
  }
}

std::vector<std::string> read_lines(int sock, int timeout_ms) {
  std::vector<std::string> lines;
  std::string line;
  while (read_line(sock, &line, timeout_ms)) lines.push_back(line);
  return lines;
}

void write_line(int sock, const std::string& text) {
  std::string framed = text;
  framed.push_back('\0');
  size_t sent = 0;
  while (sent < framed.size()) {
    ssize_t n = send(sock, framed.data() + sent, framed.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += n;
  }
}

bool stays_quiet(int sock, int wait_ms) { return !readable(sock, wait_ms); }

sockaddr_in loopback_address(const char* address, int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  inet_pton(AF_INET, address, &a.sin_addr);
  return a;
}

Listener::Listener(const char* address, int wanted) : fd(-1), port(0) {
  fd = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in a = loopback_address(address, wanted);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 16) != 0) {
    close(fd);
    fd = -1;
    return;
  }
  socklen_t len = sizeof(a);
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
}

Listener::~Listener() {
  if (fd >= 0) close(fd);
}

int Listener::accept_one(int timeout_ms) {
  if (fd < 0 || !readable(fd, timeout_ms)) return -1;
  return accept(fd, nullptr, nullptr);
}

CallbackPorts::CallbackPorts(const char* address) : callback(nullptr), stream(nullptr) {
  for (int attempt = 0; attempt < 50; attempt++) {
    Listener* first = new Listener(address, 0);
    Listener* second = first->fd >= 0 && first->port < 65535 ? new Listener(address, first->port + 1)
                                                               : nullptr;
    if (second != nullptr && second->fd >= 0) {
      callback = first;
      stream = second;
      return;
    }
    delete second;
    delete first;
  }
  throw std::runtime_error("no free pair of ports");
}

CallbackPorts::~CallbackPorts() {
  delete stream;
  delete callback;
}
