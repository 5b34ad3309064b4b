// Calls through PVM against a real daemon, a real Velmord and pvm_worker:
// the client sees exactly what a local call gives, the work runs in the
// worker, concurrent calls keep their values, and failures release the client.
//
// Two servers run side by side, both process-per-user with two worker
// processes: "local" without PVM and "pvm" with MAX_PVM_PROCESSES=2. The
// calls go through the velmor_client program; its standard output is the
// client's view of the values.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pvm3.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"
#include "line_transport.h"
#include "pvm_buffers.h"

namespace {

const std::string kBuild = VELMOR_BUILD_DIR;
const std::string kSource = VELMOR_SOURCE_DIR;
const char* const kDefs[] = {"sample_threads", "sample_threads_async", "sample_streams",
                             "sample_employee_db", "text_file_transfer"};

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, (sockaddr*)&a, sizeof a) == 0 && getsockname(fd, (sockaddr*)&a, &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = connect(fd, (sockaddr*)&a, sizeof a) == 0;
  close(fd);
  return ok;
}

// One Velmord in a root of its own (layout as the samples expect: build/,
// samples/, defs/, wrappers/ as working and log directory), in its own
// process group, killed with it at the end.
class Server {
 public:
  Server(const std::string& name, int pvm_processes, const std::string& worker_defs)
      : pvm_processes_(pvm_processes), worker_defs_(worker_defs) {
    char pattern[] = "/tmp/velmor-pvm-e2e-XXXXXX";
    root_ = mkdtemp(pattern) ? pattern : "";
    root_ += "";
    (void)name;
    (void)!symlink((kBuild + "/lib").c_str(), (root_ + "/lib").c_str());
    (void)!symlink(kBuild.c_str(), (root_ + "/build").c_str());
    (void)!symlink((kBuild + "/samples").c_str(), (root_ + "/samples").c_str());
    mkdir((root_ + "/defs").c_str(), 0755);
    mkdir((root_ + "/wrappers").c_str(), 0755);
    for (const char* d : kDefs)
      (void)!system(("cp " + kSource + "/samples/" + d + ".def " + root_ + "/defs/").c_str());
  }
  ~Server() {
    stop();
    if (!root_.empty() && getenv("VELMOR_KEEP_E2E") == NULL) (void)!system(("rm -rf " + root_).c_str());
  }
  // Stub libraries already built by another server: same sources, so reuse them.
  void reuse_wrappers_of(const Server& other) {
    (void)!system(("cp -p " + other.root_ + "/wrappers/*.so " + other.root_ + "/wrappers/*.bas " +
                   other.root_ + "/wrappers/*.cpp " + other.root_ + "/wrappers/map.info " + root_ +
                   "/wrappers/ 2>/dev/null").c_str());
  }
  bool start() {
    port_ = free_port();
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (chdir((root_ + "/wrappers").c_str()) != 0) _exit(127);
      int fd = open((root_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("VELMOR_LOG_DIR", (root_ + "/wrappers").c_str(), 1);
      setenv("VELMOR_BIN_DIR", (kBuild + "/bin").c_str(), 1);
      setenv("EXECUTION_MODEL", "PROCESS_PER_USER", 1);
      setenv("MAX_PROCESSES", "2", 1);
      unsetenv("ALLOW_CLIENTS");
      unsetenv("VELMOR_DEFINITION_FILES");
      if (pvm_processes_ > 0) {
        setenv("MAX_PVM_PROCESSES", std::to_string(pvm_processes_).c_str(), 1);
        setenv("VELMOR_PVM_TRACE", trace_path().c_str(), 1);
        if (!worker_defs_.empty())
          setenv("VELMOR_DEFINITION_FILES", (root_ + "/defs/" + worker_defs_ + ".def").c_str(), 1);
      } else {
        unsetenv("MAX_PVM_PROCESSES");
      }
      std::vector<std::string> args = {kBuild + "/bin/Velmord", "-p", std::to_string(port_)};
      for (const char* d : kDefs) args.push_back(root_ + "/defs/" + d + ".def");
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(NULL);
      execv(argv[0], argv.data());
      _exit(127);
    }
    setpgid(pid_, pid_);
    for (int i = 0; i < 1200; i++) {  // stub compiles can take a while on a busy machine
      if (waitpid(pid_, NULL, WNOHANG) == pid_) { pid_ = -1; return false; }
      if (accepts(port_)) return true;
      usleep(100000);
    }
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    usleep(200000);
    kill(-pid_, SIGKILL);
    waitpid(pid_, NULL, 0);
    pid_ = -1;
  }
  // velmor_client's standard output for one call (bounded), "rc=N" appended
  // when it fails.
  std::string call(const std::string& module, const std::vector<std::string>& args,
                   const std::string& options = "") const {
    std::string command = "timeout 60 " + kBuild + "/bin/velmor_client --timeout 30 -p " +
                          std::to_string(port_) + " -d " + root_ + "/defs/" + module + ".def " +
                          options + " call " + module;
    for (const std::string& a : args) command += " '" + a + "'";
    return command_output(command, root_ + "/client." + std::to_string(++calls_) + ".err");
  }
  int port() const { return port_; }
  std::string trace_path() const { return root_ + "/worker.trace"; }
  std::string trace() const { return read_file(trace_path()); }
  std::string log() const {
    std::string text = read_file(root_ + "/server.log");
    return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
  }

 private:
  int pvm_processes_;
  std::string worker_defs_;
  std::string root_;
  int port_ = 0;
  pid_t pid_ = -1;
  mutable std::atomic<int> calls_{0};
};

class PvmCalls : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    local_ = new Server("local", 0, "");
    ASSERT_TRUE(local_->start()) << local_->log();
    pvm_ = new Server("pvm", 2, "");
    pvm_->reuse_wrappers_of(*local_);
    ASSERT_TRUE(pvm_->start()) << pvm_->log();
  }
  static void TearDownTestSuite() {
    delete pvm_;
    delete local_;
    pvm_ = local_ = NULL;
  }
  static Server* local_;
  static Server* pvm_;
};
Server* PvmCalls::local_ = NULL;
Server* PvmCalls::pvm_ = NULL;

TEST_F(PvmCalls, ClientSeesWhatALocalCallGives) {
  std::string text_file = kSource + "/samples/sample_threads.def";
  const std::vector<std::vector<std::string>> calls = {
      {"sample_threads", "range_average", "[1,2,6]"},
      {"sample_threads", "reverse_range_returns_array", "[1,2,3]", "3"},
      {"sample_threads", "reverse_range_passby_reference", "[1.5,2,3]"},
      {"sample_threads", "reverse_range_returns_array", "[]", "0"},
      {"sample_employee_db", "get_db", "[]"},
      {"text_file_transfer", "get_file", text_file},
      {"sample_threads_async", "range_average", "[4,5]"},
      {"sample_threads_async", "reverse_range_returns_array", "[1,2,3]", "3"},
      {"sample_streams", "show_elapsed", "1", "3"},
  };
  for (const auto& c : calls) {
    std::vector<std::string> args(c.begin() + 1, c.end());
    std::string expected = local_->call(c[0], args);
    std::string got = pvm_->call(c[0], args);
    EXPECT_FALSE(expected.empty()) << c[0] << "." << c[1];
    EXPECT_EQ(got, expected) << c[0] << "." << c[1] << "\n" << pvm_->log();
  }
  // Random values: the same shape as locally, two deliveries of five numbers.
  std::regex two_deliveries("(\\[-?[0-9.e+]+(,-?[0-9.e+]+){4}\\]\n){2}");
  std::string local_values = local_->call("sample_streams", {"jumping_array", "1", "2"});
  std::string pvm_values = pvm_->call("sample_streams", {"jumping_array", "1", "2"});
  EXPECT_TRUE(std::regex_match(local_values, two_deliveries)) << local_values;
  EXPECT_TRUE(std::regex_match(pvm_values, two_deliveries)) << pvm_values << pvm_->log();

  // The work ran in the worker program, not in the server.
  std::string trace = pvm_->trace();
  EXPECT_NE(trace.find("received a request sample_threads  range_average"), std::string::npos) << trace;
  EXPECT_NE(trace.find("received a request sample_streams  jumping_array"), std::string::npos);
  EXPECT_NE(trace.find("..completed"), std::string::npos);
}

TEST_F(PvmCalls, EightConcurrentCallsThroughOneWorkerKeepTheirValues) {
  std::vector<std::future<std::string>> calls;
  for (int i = 1; i <= 8; i++) {
    calls.push_back(std::async(std::launch::async, [i] {
      std::string v = std::to_string(i * 10);
      return pvm_->call("sample_threads", {"reverse_range_returns_array",
                                           "[" + std::to_string(i) + "," + v + "," + v + "1]", "3"});
    }));
  }
  for (int i = 1; i <= 8; i++) {
    std::string v = std::to_string(i * 10);
    EXPECT_EQ(calls[i - 1].get(), "[" + v + "1," + v + "," + std::to_string(i) + "]\n") << i;
  }
}

size_t count_of(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
  return n;
}

TEST_F(PvmCalls, StoppedStreamsEndOnTheWorkerToo) {
  // Ten-minute streams, scalar and not, stopped by the client after two values.
  const std::vector<std::string> streams[] = {{"show_time", "1", "600"}, {"jumping_array", "1", "600"}};
  size_t stopped_before = count_of(pvm_->trace(), "..stopped");
  for (const std::vector<std::string>& stream : streams) {
    std::string values = pvm_->call("sample_streams", stream, "-n 2");
    EXPECT_EQ(std::count(values.begin(), values.end(), '\n'), 2) << stream[0] << ": " << values;
    bool stopped = false;
    for (int waited = 0; waited < 15000 && !stopped; waited += 100) {
      stopped = count_of(pvm_->trace(), "..stopped") > stopped_before;
      if (!stopped) usleep(100000);
    }
    EXPECT_TRUE(stopped) << stream[0] << "\n" << pvm_->trace() << pvm_->log();
    stopped_before++;
  }
  // The worker goes on serving.
  EXPECT_EQ(pvm_->call("sample_threads", {"range_average", "[2,4]"}), "3\n");
}

// One line to the server and its answer, on a connection of the caller's.
std::string ask(int fd, const std::string& line) {
  if (send_line(fd, line.c_str()) < 1) return "<not sent>";
  char reply[1024];
  return receive_line(fd, reply, sizeof reply) >= 1 ? reply : "<closed>";
}

// update_db replaces the worker's list; a call of it whose client leaves
// before its end-of-arguments line never runs on the worker, and the next
// calls of the address are answered right.
TEST_F(PvmCalls, AbandonedCallsNeverRunOnTheWorker) {
  const std::vector<std::string> sent_before_leaving[] = {
      {}, {"1", "Zed"}, {"1", "Zed", "1", "2", "3"}};
  for (const auto& units : sent_before_leaving) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(pvm_->port()));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    std::string stamp = ask(fd, "GET_UPD_TIME~sample_employee_db");
    close(fd);
    fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    EXPECT_EQ(ask(fd, "START_FUNCTION~sample_employee_db~update_db~0~" + stamp), "__OK__");
    for (const std::string& unit : units) EXPECT_EQ(ask(fd, unit), "__OK__");
    shutdown(fd, SHUT_WR);
    char rest[16];
    EXPECT_LT(receive_line(fd, rest, sizeof rest), 1);  // nothing more is acknowledged
    close(fd);
    std::string db = pvm_->call("sample_employee_db", {"get_db", "[]"});
    EXPECT_NE(db.find("[{Alice,"), std::string::npos) << units.size() << "\n" << pvm_->log();
    EXPECT_EQ(db.substr(db.size() - 3), "26\n") << db;
  }
  // The worker ends each abandoned call in a thread of its own.
  size_t abandoned = 0;
  for (int waited = 0; waited < 10000 && abandoned < 3; waited += 100) {
    abandoned = count_of(pvm_->trace(), "update_db abandoned by its client");
    if (abandoned < 3) usleep(100000);
  }
  EXPECT_EQ(abandoned, 3u) << pvm_->trace();
}

// The worker of this server loads only sample_threads: every other module is
// unknown to it.
TEST(PvmFailures, UnknownFunctionReleasesTheClientWithLibErrorAndAKilledWorkerIsReplaced) {
  Server server("narrow", 2, "sample_threads");
  ASSERT_TRUE(server.start()) << server.log();
  EXPECT_EQ(server.call("sample_threads", {"range_average", "[1,2,6]"}), "3\n");
  std::string refused = server.call("sample_employee_db", {"get_db", "[]"});
  EXPECT_NE(refused.find("#LIB_ERROR"), std::string::npos) << refused << server.log();
  std::string refused_thread = server.call("sample_threads_async", {"range_average", "[1]"});
  EXPECT_NE(refused_thread.find("#LIB_ERROR"), std::string::npos) << refused_thread;
  // The worker goes on serving after refusing.
  EXPECT_EQ(server.call("sample_threads", {"range_average", "[2]"}), "2\n");

  // Kill every worker task by pid, as a crash would.
  int found = 0;
  std::vector<int> killed;
  {
    int ntask = 0;
    pvmtaskinfo* tasks = NULL;
    PvmBufferScope scope;
    ASSERT_GE(pvm_tasks(0, &ntask, &tasks), 0);
    for (int i = 0; i < ntask; i++) {
      std::string name = tasks[i].ti_a_out ? tasks[i].ti_a_out : "";
      std::string cmdline = read_file("/proc/" + std::to_string(tasks[i].ti_pid) + "/cmdline");
      if (cmdline.find("pvm_worker") == std::string::npos) continue;
      if (cmdline.find(server.trace_path()) == std::string::npos) continue;  // another test's
      kill(tasks[i].ti_pid, SIGKILL);
      killed.push_back(tasks[i].ti_tid);
      found++;
    }
  }
  pvm_pthread_exit();
  // Per-user slots start their worker process (and task) with their first client.
  ASSERT_GE(found, 1);
  // Once the daemon has seen them end, it has told the slot too...
  bool gone = false;
  for (int i = 0; i < 100 && !gone; i++) {
    gone = true;
    {
      PvmBufferScope scope;
      for (int tid : killed) gone = gone && pvm_pstat(tid) != PvmOk;
    }
    if (!gone) usleep(100000);
  }
  pvm_pthread_exit();
  ASSERT_TRUE(gone);
  // ...so its next call already runs on a new task.
  EXPECT_EQ(server.call("sample_threads", {"range_average", "[1,2,6]"}), "3\n") << server.log();
  EXPECT_EQ(server.call("sample_threads", {"range_average", "[3]"}), "3\n") << server.log();
}

}  // namespace
