// A real Velmord for one test: its own temporary root (under $TMPDIR, else
// /tmp) with the sample definition files, a free loopback port, its own
// VELMOR_LOG_DIR; started in a process group of its own so that the server
// and its workers die together.
//
// Layout of the root (the definition files name paths relative to defs/):
//   build -> <build>            the sample libraries, as ../build/lib/NAME.so
//   lib -> <build>/lib          the same, for definition files that say ../lib/
//   samples -> <build>/samples  the module files listed under MODULES
//   defs/NAME.def               copies of the sample definition files
//   wrappers/                   working directory and VELMOR_LOG_DIR
//   server.log                  the server's standard output and error
#ifndef VELMOR_TESTS_SERVER_PROCESS_H_
#define VELMOR_TESTS_SERVER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class ServerProcess {
 public:
  struct Options {
    std::vector<std::string> defs;   // sample definition files by name, e.g. "sample_threads"
    bool per_user = false;           // EXECUTION_MODEL=PROCESS_PER_USER, MAX_PROCESSES=2
    int max_processes = 2;
    int max_pvm_processes = 0;       // > 0: MAX_PVM_PROCESSES (needs a running pvmd)
    // Further definition files by name and text, written to defs/NAME.def.
    std::vector<std::pair<std::string, std::string>> def_texts;
    // Further environment of the server, NAME and value (e.g. VELMOR_SETTINGS).
    std::vector<std::pair<std::string, std::string>> env;
  };

  ServerProcess();
  ~ServerProcess();  // kills the process group, removes the root

  // Copies the definition files (a second start with the same root reuses them).
  bool prepare(const Options& options);
  // Starts Velmord and waits (bounded) until it accepts connections.
  bool start();
  void stop();
  // Waits (bounded) for the server to end by itself, e.g. after a signal the
  // test sent; true with its wait status in *status. The server is then no
  // longer this fixture's: processes left in its group are the caller's to end.
  bool wait_exit(int timeout_ms, int* status);

  int port() const { return port_; }
  pid_t pid() const { return pid_; }  // the server's, -1 when it is not running
  const std::string& root() const { return root_; }
  std::string def_path(const std::string& name) const { return root_ + "/defs/" + name + ".def"; }
  std::vector<std::string> def_paths() const;
  std::string log() const;  // the server's output so far, for failure messages
  // The whole log's size, and its text from an earlier size on: to wait for
  // what the server says after a point.
  size_t log_size() const;
  std::string log_since(size_t offset) const;

 private:
  bool start_on_free_port();
  void forget_stub_libraries();

  Options options_;
  std::string root_;
  int port_ = 0;
  pid_t pid_ = -1;
};

// A loopback port that was free a moment ago.
int free_loopback_port();

#endif
