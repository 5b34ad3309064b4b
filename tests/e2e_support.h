// Shared steps of the end-to-end tests: a session on a started server, calls
// typed by the copied definition files, and printing of results.
#ifndef VELMOR_TESTS_E2E_SUPPORT_H_
#define VELMOR_TESTS_E2E_SUPPORT_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "definition_book.h"
#include "server_process.h"
#include "velmor_session.h"

struct ModelParam {
  bool per_user;
  int max_processes;
  const char* name;
};

// All that one call gave, printed in the client's syntax.
struct CallPrint {
  bool ok = false;
  bool out_of_date = false;
  std::string error;
  std::vector<std::string> outbound;
  std::string result;
  std::string key;
  CallSignature sig;
};

class E2EClient {
 public:
  E2EClient(ServerProcess* server, int timeout_ms = 20000);

  // Calls module.function with argument texts, typed by the module's copied definition file.
  CallPrint call(const std::string& module, const std::string& function,
                 const std::vector<std::string>& args, const std::string& stamp = "");
  // Takes deliveries of key until the end text or the count; each printed value is
  // the outbound values (if any) and the value joined by " ; ". "END" marks the end.
  std::vector<std::string> deliveries(const CallPrint& call, int count, int timeout_ms);
  VelmorSession* session() { return &session_; }
  // Types the calls of module by the definition file at path instead of the
  // server's copy: for tests that break the server's copy on purpose.
  void type_by(const std::string& module, const std::string& path) { typing_[module] = path; }

 private:
  ServerProcess* server_;
  VelmorSession session_;
  std::map<std::string, std::string> typing_;
};

// A client that speaks the protocol by hand, from a loopback address of its
// choice; every wait is bounded.
class RawClient {
 public:
  explicit RawClient(int port, const char* from = "127.0.0.1");
  ~RawClient() { close_now(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool ok() const { return fd_ >= 0; }
  void send(const std::string& line);
  // Bytes without their NUL: a line the peer never finishes.
  void send_cut(const std::string& text);
  // The next line; "<no reply>" after timeout_ms, "<closed>" when the
  // connection ended first.
  std::string reply(int timeout_ms = 15000);
  std::string ask(const std::string& line) {
    send(line);
    return reply();
  }
  // Leaves as a dropped add-in does: its side of the connection ends.
  void leave();
  void close_now();

 private:
  int fd_ = -1;
};

// The whole text of a file; empty when it cannot be read.
std::string read_file(const std::string& path);

// Polls (bounded by timeout_ms) until the file holds `word`.
bool file_gets(const std::string& path, const std::string& word, int timeout_ms);

// Runs a shell command whose standard error goes to errors_path; returns its
// standard output, with "rc=N " and the text of errors_path appended when
// the command failed.
std::string command_output(const std::string& command, const std::string& errors_path);

#endif
