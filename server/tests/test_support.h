// Helpers of the server tests: temporary directories, child processes with
// captured output, loopback clients. Every wait is bounded.
#ifndef VELMOR_SERVER_TESTS_TEST_SUPPORT_H_
#define VELMOR_SERVER_TESTS_TEST_SUPPORT_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace velmor_test {

// A fresh directory under /tmp, removed with its files by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);

// A program run with its own environment (only the variables given plus
// PATH), stdout and stderr captured into files of `dir`.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& env, const std::string& dir);
  ~Process();  // kills the process and its children if still running

  pid_t pid() const { return pid_; }
  std::string out() const { return read_file(out_path_); }
  std::string err() const { return read_file(err_path_); }

  // Waits for the exit; returns the exit status, or -1 on time-out, or
  // 128 + signal when it was killed by a signal.
  int wait_exit(int timeout_ms);
  // Waits until stdout (or stderr) holds `text`; false on time-out.
  bool wait_for_out(const std::string& text, int timeout_ms) const;
  bool wait_for_err(const std::string& text, int timeout_ms) const;
  // Direct child processes (the server's workers), read from /proc.
  std::vector<pid_t> children() const;
  // Kills every child and then the process, by pid.
  void kill_all();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  std::string out_path_, err_path_;
};

// A TCP port that was free a moment ago.
int free_port();

// Connects from the loopback address `from` to 127.0.0.1:port, retrying
// while the server starts; -1 on failure.
int connect_from(const std::string& from, int port, int timeout_ms = 10000);

// Receives one line, waiting at most timeout_ms; -2 on time-out, otherwise
// receive_line's result.
int recv_line(int sock, std::string* line, int timeout_ms = 10000);
// True when the peer closed the connection within timeout_ms.
bool peer_closed(int sock, int timeout_ms = 10000);
// True when data or the end arrives within timeout_ms.
bool readable(int sock, int timeout_ms);

bool process_alive(pid_t pid);

// The threads of a process (from /proc), 0 when it is gone.
int thread_count(pid_t pid);

}  // namespace velmor_test

#endif
