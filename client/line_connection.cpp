#include "line_connection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "line_io.h"

LineConnection::LineConnection(int timeout_ms) : fd_(-1), timeout_ms_(timeout_ms) {}

LineConnection::LineConnection(int fd, int timeout_ms) : fd_(fd), timeout_ms_(timeout_ms) {}

LineConnection::~LineConnection() { close(); }

namespace {

bool resolve(const std::string& host, int port, sockaddr_in* addr, std::string* error) {
  memset(addr, 0, sizeof *addr);
  addr->sin_family = AF_INET;
  addr->sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1) return true;
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    *error = "unknown host " + host;
    return false;
  }
  addr->sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// connect() with a time limit: non-blocking connect, then wait for writability.
bool connect_within(int fd, const sockaddr_in& addr, int timeout_ms, std::string* error) {
  int flags = fcntl(fd, F_GETFL, 0);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p = {fd, POLLOUT, 0};
    rc = poll(&p, 1, timeout_ms);
    if (rc == 0) {
      *error = "timed out";
      return false;
    }
    int soerr = 0;
    socklen_t len = sizeof soerr;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &len);
    if (rc < 0 || soerr != 0) {
      *error = strerror(rc < 0 ? errno : soerr);
      return false;
    }
  } else if (rc != 0) {
    *error = strerror(errno);
    return false;
  }
  fcntl(fd, F_SETFL, flags);
  return true;
}

}  // namespace

bool LineConnection::open(const std::string& host, int port, std::string* error,
                          const std::string& source) {
  close();
  sockaddr_in addr;
  if (!resolve(host, port, &addr, error)) return false;
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  if (fd_ < 0) {
    *error = std::string("cannot create a socket: ") + strerror(errno);
    return false;
  }
  if (!source.empty()) {
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      *error = "cannot use the local address " + source;
      close();
      return false;
    }
  }
  std::string why;
  if (!connect_within(fd_, addr, timeout_ms_, &why)) {
    *error = "cannot connect to the server at " + host + ":" + std::to_string(port) + ": " + why;
    close();
    return false;
  }
  return true;
}

bool LineConnection::send(const std::string& text, std::string* error) {
  if (fd_ < 0 || !write_line(fd_, text.c_str(), timeout_ms_)) {
    *error = "the connection was closed while sending '" + text + "'";
    return false;
  }
  return true;
}

bool LineConnection::receive_within(int timeout_ms, std::string* line, std::string* error) {
  error->clear();
  if (fd_ < 0) {
    *error = "not connected";
    return false;
  }
  char buffer[1024];
  int n = read_line(fd_, buffer, sizeof buffer, timeout_ms);
  if (n == kLineTimedOut) return false;
  // Only a whole line is a line; what came of a cut one is no value.
  if (n < 1) {
    *error = "the connection was closed";
    return false;
  }
  line->assign(buffer);
  return true;
}

bool LineConnection::receive(std::string* line, std::string* error) {
  if (receive_within(timeout_ms_, line, error)) return true;
  if (error->empty()) *error = "no answer within " + std::to_string(timeout_ms_ / 1000) + " s";
  return false;
}

void LineConnection::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool LineConnection::local_address(sockaddr_in* out) const {
  socklen_t len = sizeof *out;
  return fd_ >= 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(out), &len) == 0;
}
