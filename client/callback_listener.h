// The client's side of call-backs: it listens on the call-back port P named in
// START_FUNCTION and on P + 1. On P + 1 the server keeps one persistent stream
// connection per client, carrying "#THREAD_KEY=VALUE", "#STREAM_KEY=VALUE", the
// end text "#STREAM_KEY" and "#PING" (ignored). On P the server opens one
// connection per delivery: "#THREAD_KEY~1" or "#STREAM_KEY~1" followed by the
// outbound values and the value, each acknowledged, or "#STREAM_KEY~-1" for the
// end of a stream. Deliveries are queued per key until the caller takes them.
#ifndef VELMOR_CLIENT_CALLBACK_LISTENER_H_
#define VELMOR_CLIENT_CALLBACK_LISTENER_H_

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "value_shape.h"
#include "value_text.h"

struct Delivery {
  enum Kind { VALUE, END, FAILED };
  Kind kind = VALUE;
  bool scalar = false;           // came over the stream connection
  std::vector<Value> outbound;   // outbound parameters, in declaration order
  Value value;                   // the result or the streamed value
  std::string error;             // FAILED: what went wrong
};

class CallbackListener {
 public:
  explicit CallbackListener(int timeout_ms = 30000);
  ~CallbackListener();

  CallbackListener(const CallbackListener&) = delete;
  CallbackListener& operator=(const CallbackListener&) = delete;

  // Binds two free consecutive ports on address and starts listening.
  bool start(const in_addr& address, std::string* error);
  int port() const { return port_; }

  // Tells how the deliveries of a call are decoded. Call it before acknowledging
  // the "#THREAD_"/"#STREAM_" reply, so that no delivery can come first.
  void expect(const std::string& key, const CallSignature& signature);
  // Takes the next delivery of key; false when none came within timeout_ms.
  bool wait(const std::string& key, int timeout_ms, Delivery* out);
  // "#PING" lines seen on stream connections.
  int pings() const { return pings_; }

 private:
  void accept_loop();
  void serve_stream(int fd);
  void serve_delivery(int fd);
  void handle_stream_line(const std::string& line);
  void push(const std::string& key, const Delivery& d);
  bool signature_of(const std::string& key, CallSignature* out);
  void track(int fd, bool add);

  int timeout_ms_;
  int port_ = 0;
  int callback_fd_ = -1;
  int stream_fd_ = -1;
  int wake_pipe_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::atomic<int> pings_{0};
  std::thread acceptor_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, CallSignature> expected_;
  std::map<std::string, std::deque<Delivery>> queues_;
  std::vector<std::thread> handlers_;
  std::set<int> active_;
};

#endif
