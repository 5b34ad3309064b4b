// Fixtures of the glue tests: the definition files of the glue test library,
// and a stream call made by hand, to watch its delivery connections
// themselves (when each opens, what it carries, when it closes).
#ifndef VELMOR_TESTS_GLUE_GLUE_SUPPORT_H_
#define VELMOR_TESTS_GLUE_GLUE_SUPPORT_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "line_connection.h"

// name -> text of the definition files over the glue test library:
//   glue_long     target01 .. target08 beside very long symbols
//   glue_mixed    good functions, a char function, a misspelled type, records
//                 holding an array of records
//   glue_streams  streams with outbound arguments and endless streams
std::vector<std::pair<std::string, std::string>> glue_definition_files();

// name -> text of the definition files whose functions throw (raise_kind:
// kind 1 a std::runtime_error, kind 2 no std::exception, else no throw):
//   glue_raise          a plain function
//   glue_raise_async    threads: on the stream connection, and with an
//                       outbound argument on connections of their own
//   glue_raise_streams  streams, the same two ways, throwing after one value
std::vector<std::pair<std::string, std::string>> raising_definition_files();

class RawStream {
 public:
  explicit RawStream(int server_port, int timeout_ms = 20000);
  ~RawStream();
  RawStream(const RawStream&) = delete;
  RawStream& operator=(const RawStream&) = delete;

  // Starts module.function with one line per argument unit; the server's
  // "#STREAM_KEY" reply gives the key.
  bool start(const std::string& module, const std::string& function,
             const std::vector<std::string>& units, std::string* error);
  // Accepts the next delivery connection and reads its first line and
  // `units` more, acknowledging each.
  bool next_delivery(int units, std::vector<std::string>* lines, std::string* error);
  // True when the server closes the current delivery connection within
  // timeout_ms (no further line comes first).
  bool closed_within(int timeout_ms);
  const std::string& key() const { return key_; }

 private:
  int server_port_;
  int timeout_ms_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::string key_;
  std::unique_ptr<LineConnection> delivery_;
};

// Runs glue_streams' stepper (v = [1.5], two deliveries held apart by a
// release file under root) and expects each delivery's connection to close
// as soon as its values are through, then the end on a connection of its own.
// Reports through the test framework; log is added to the first failure.
void check_deliveries_close_at_once(int server_port, const std::string& root, const std::string& log);

#endif
