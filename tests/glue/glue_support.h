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

// One call of raising_definition_files' functions and what its client is
// given: a plain call's result, else its deliveries as E2EClient prints
// them; "FAILED DELIVERY" for a delivery the client could not read whole.
struct RaisingCase {
  const char* module;
  const char* function;
  std::vector<std::string> args;
  std::vector<std::string> expected;
};
// Every kind of call, each throwing both kinds of exception; through_pvm
// gives what the PVM relay makes of a thread's delivery (every unit
// "#LIB_ERROR") instead of a local one (the first unit, then the end).
std::vector<RaisingCase> raising_cases(bool through_pvm);

class E2EClient;
struct CallPrint;
// What the client was given for `call`: its result, or up to `count` deliveries.
std::vector<std::string> call_outcome(E2EClient* client, const CallPrint& call, size_t count);

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
