#include "callback_listener.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "line_connection.h"
#include "value_wire.h"

namespace {

const char kThread[] = "#THREAD_";
const char kStream[] = "#STREAM_";

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

int listen_on(const in_addr& address, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr = address;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int bound_port(int fd) {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

// Units of one delivery: each received line is acknowledged, the last one
// only when flush() is called.
class AckingSource : public UnitSource {
 public:
  explicit AckingSource(LineConnection* c) : conn_(c) {}
  bool next(std::string* unit, std::string* error) override {
    if (!flush(error) || !conn_->receive(unit, error)) return false;
    pending_ = true;
    return true;
  }
  bool flush(std::string* error) {
    if (!pending_) return true;
    pending_ = false;
    return conn_->send("__OK__", error);
  }

 private:
  LineConnection* conn_;
  bool pending_ = false;
};

}  // namespace

CallbackListener::CallbackListener(int timeout_ms) : timeout_ms_(timeout_ms) {}

CallbackListener::~CallbackListener() {
  stop_ = true;
  if (wake_pipe_[1] >= 0) {
    char c = 0;
    ssize_t ignored = write(wake_pipe_[1], &c, 1);
    (void)ignored;
  }
  if (acceptor_.joinable()) acceptor_.join();
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : active_) shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& t : handlers_) t.join();
  for (int fd : {callback_fd_, stream_fd_, wake_pipe_[0], wake_pipe_[1]})
    if (fd >= 0) close(fd);
}

bool CallbackListener::start(const in_addr& address, std::string* error) {
  // The stream port must be the call-back port + 1, so try pairs until both bind.
  for (int attempt = 0; attempt < 64 && callback_fd_ < 0; attempt++) {
    int first = listen_on(address, 0);
    if (first < 0) break;
    int p = bound_port(first);
    int second = p > 0 && p < 65535 ? listen_on(address, p + 1) : -1;
    if (second < 0) {
      close(first);
      continue;
    }
    callback_fd_ = first;
    stream_fd_ = second;
    port_ = p;
  }
  if (callback_fd_ < 0) {
    *error = std::string("cannot listen on two consecutive call-back ports: ") + strerror(errno);
    return false;
  }
  if (pipe(wake_pipe_) != 0) {
    *error = std::string("cannot create a pipe: ") + strerror(errno);
    return false;
  }
  acceptor_ = std::thread(&CallbackListener::accept_loop, this);
  return true;
}

void CallbackListener::accept_loop() {
  while (!stop_) {
    pollfd p[3] = {{callback_fd_, POLLIN, 0}, {stream_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
    if (poll(p, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stop_ || p[2].revents) return;
    for (int i = 0; i < 2; i++) {
      if (!(p[i].revents & POLLIN)) continue;
      int fd = accept(p[i].fd, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      active_.insert(fd);
      if (i == 0)
        handlers_.emplace_back(&CallbackListener::serve_delivery, this, fd);
      else
        handlers_.emplace_back(&CallbackListener::serve_stream, this, fd);
    }
  }
}

void CallbackListener::track(int fd, bool add) {
  std::lock_guard<std::mutex> lock(mu_);
  if (add)
    active_.insert(fd);
  else
    active_.erase(fd);
}

void CallbackListener::serve_stream(int fd) {
  // The stream connection lives as long as the server keeps it: no time limit
  // on its lines, only on the listener's life.
  LineConnection conn(fd, timeout_ms_);
  std::string line, error;
  while (!stop_) {
    if (conn.receive_within(200, &line, &error)) {
      handle_stream_line(line);
    } else if (!error.empty()) {
      break;
    }
  }
  track(fd, false);
}

void CallbackListener::handle_stream_line(const std::string& line) {
  if (line == "#PING") {
    pings_++;
    return;
  }
  bool thread = starts_with(line, kThread);
  if (!thread && !starts_with(line, kStream)) return;
  std::string rest = line.substr(strlen(kThread));
  Delivery d;
  d.scalar = true;
  size_t eq = rest.find('=');
  if (eq == std::string::npos) {
    d.kind = Delivery::END;
    push(rest, d);
    return;
  }
  d.value = Value::leaf(rest.substr(eq + 1));
  push(rest.substr(0, eq), d);
}

void CallbackListener::serve_delivery(int fd) {
  LineConnection conn(fd, timeout_ms_);
  std::string first, error;
  if (!conn.receive(&first, &error)) {
    track(fd, false);
    return;
  }
  bool thread = starts_with(first, kThread);
  size_t tilde = first.rfind('~');
  if ((!thread && !starts_with(first, kStream)) || tilde == std::string::npos) {
    track(fd, false);
    return;
  }
  std::string key = first.substr(strlen(kThread), tilde - strlen(kThread));
  int marker = atoi(first.c_str() + tilde + 1);
  Delivery d;
  CallSignature sig;
  if (!conn.send("__OK__", &error)) {
    d.kind = Delivery::FAILED;
    d.error = error;
  } else if (marker == -1) {
    d.kind = Delivery::END;
  } else if (!signature_of(key, &sig)) {
    d.kind = Delivery::FAILED;
    d.error = "a delivery for the unknown call " + key;
  } else {
    AckingSource source(&conn);
    bool ok = true;
    for (const ValueShape* p : sig.outbound_params()) {
      Value v;
      ok = ok && read_value(&source, *p, &v, &error);
      d.outbound.push_back(v);
    }
    ok = ok && read_value(&source, sig.result, &d.value, &error);
    if (ok) {
      // Queued before the last unit is acknowledged: until then the server
      // sends nothing more for the call (its next value, its end), each of
      // which a handler of its own would otherwise queue first.
      push(key, d);
      if (source.flush(&error) && thread) conn.send("__CLOSE__", &error);  // the line a thread waits for
      track(fd, false);
      return;
    }
    d.kind = Delivery::FAILED;
    d.error = error;
  }
  push(key, d);
  track(fd, false);
}

void CallbackListener::expect(const std::string& key, const CallSignature& signature) {
  std::lock_guard<std::mutex> lock(mu_);
  expected_[key] = signature;
  cv_.notify_all();
}

bool CallbackListener::signature_of(const std::string& key, CallSignature* out) {
  std::unique_lock<std::mutex> lock(mu_);
  bool found = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms_),
                            [&] { return stop_ || expected_.count(key) > 0; });
  if (!found || stop_) return false;
  *out = expected_[key];
  return true;
}

void CallbackListener::push(const std::string& key, const Delivery& d) {
  std::lock_guard<std::mutex> lock(mu_);
  queues_[key].push_back(d);
  cv_.notify_all();
}

bool CallbackListener::wait(const std::string& key, int timeout_ms, Delivery* out) {
  std::unique_lock<std::mutex> lock(mu_);
  bool got = cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return !queues_[key].empty(); });
  if (!got) return false;
  *out = queues_[key].front();
  queues_[key].pop_front();
  return true;
}
