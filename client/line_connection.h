// One TCP conversation in lines (text ended by one NUL byte). Every wait is
// bounded by the connection's time limit, so a silent peer cannot hang the client.
#ifndef VELMOR_CLIENT_LINE_CONNECTION_H_
#define VELMOR_CLIENT_LINE_CONNECTION_H_

#include <netinet/in.h>

#include <string>

class LineConnection {
 public:
  explicit LineConnection(int timeout_ms = 30000);
  // Takes over an accepted socket.
  LineConnection(int fd, int timeout_ms);
  ~LineConnection();

  LineConnection(const LineConnection&) = delete;
  LineConnection& operator=(const LineConnection&) = delete;

  // Connects to host (dotted IPv4 or a name) and port, from the local IPv4
  // address source when it is not empty. On failure sets error.
  bool open(const std::string& host, int port, std::string* error,
            const std::string& source = "");
  bool send(const std::string& text, std::string* error);
  // One line. Fails on time-out, on a closed peer and on a line cut by the peer closing.
  bool receive(std::string* line, std::string* error);
  // Waits up to timeout_ms for a line; false with an empty error when the time ran out.
  bool receive_within(int timeout_ms, std::string* line, std::string* error);
  void close();

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // The local address of the connection (the address the server sees and calls back).
  bool local_address(sockaddr_in* out) const;

 private:
  int fd_;
  int timeout_ms_;
};

#endif
