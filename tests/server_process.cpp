#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

// Stub generation compiles C++ at start-up; a busy machine needs time.
const int kStartSeconds = 120;

bool copy_file(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  out << in.rdbuf();
  return in && out;
}

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return ok;
}

}  // namespace

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}

ServerProcess::ServerProcess() {
  // TMPDIR: worker hosts of a PVM test see the root only on their shared disk.
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/velmor-e2e-XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) root_ = pattern;
}

ServerProcess::~ServerProcess() {
  stop();
  if (!root_.empty() && getenv("VELMOR_KEEP_E2E") == nullptr)
    (void)!system(("rm -rf '" + root_ + "'").c_str());
}

bool ServerProcess::prepare(const Options& options) {
  options_ = options;
  if (root_.empty()) return false;
  std::string build = VELMOR_BUILD_DIR;
  (void)!symlink((build + "/lib").c_str(), (root_ + "/lib").c_str());
  (void)!symlink(build.c_str(), (root_ + "/build").c_str());
  (void)!symlink((build + "/samples").c_str(), (root_ + "/samples").c_str());
  mkdir((root_ + "/defs").c_str(), 0755);
  mkdir((root_ + "/wrappers").c_str(), 0755);
  for (const std::string& d : options.defs) {
    std::string from = std::string(VELMOR_SOURCE_DIR) + "/samples/" + d + ".def";
    if (access(def_path(d).c_str(), F_OK) != 0 && !copy_file(from, def_path(d))) return false;
  }
  for (const auto& d : options.def_texts) {
    if (access(def_path(d.first).c_str(), F_OK) == 0) continue;
    std::ofstream out(def_path(d.first));
    out << d.second;
    if (!out) return false;
  }
  return true;
}

std::vector<std::string> ServerProcess::def_paths() const {
  std::vector<std::string> out;
  for (const std::string& d : options_.defs) out.push_back(def_path(d));
  for (const auto& d : options_.def_texts) out.push_back(def_path(d.first));
  return out;
}

bool ServerProcess::start() {
  // The port is free when picked but may be taken by another test before the
  // server binds it, after its start-up: then the server ends with its bind
  // message, and a new port is tried.
  for (int attempt = 0; attempt < 5; attempt++) {
    size_t logged = log_size();
    if (start_on_free_port()) return true;
    if (pid_ > 0 || log_since(logged).find("bind () call failed") == std::string::npos) return false;
    forget_stub_libraries();
  }
  return false;
}

// A retry starts as the first attempt did: stubs already built would be kept,
// and their start-up would leave "map.info" empty, which glue tests read.
void ServerProcess::forget_stub_libraries() {
  (void)!system(("rm -f '" + root_ + "/wrappers/'*.so").c_str());
}

size_t ServerProcess::log_size() const {
  struct stat st;
  return stat((root_ + "/server.log").c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

std::string ServerProcess::log_since(size_t offset) const {
  std::ifstream in(root_ + "/server.log");
  in.seekg(static_cast<std::streamoff>(offset));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool ServerProcess::start_on_free_port() {
  stop();
  port_ = free_loopback_port();
  std::string wrappers = root_ + "/wrappers";
  std::string bin = std::string(VELMOR_BUILD_DIR) + "/bin";
  std::string log = root_ + "/server.log";
  std::vector<std::string> args = {bin + "/Velmord", "-p", std::to_string(port_)};
  for (const std::string& p : def_paths()) args.push_back(p);

  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    if (chdir(wrappers.c_str()) != 0) _exit(127);
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    setenv("VELMOR_LOG_DIR", wrappers.c_str(), 1);
    setenv("VELMOR_BIN_DIR", bin.c_str(), 1);
    unsetenv("ALLOW_CLIENTS");
    if (options_.max_pvm_processes > 0) {
      setenv("MAX_PVM_PROCESSES", std::to_string(options_.max_pvm_processes).c_str(), 1);
      setenv("VELMOR_PVM_TRACE", (root_ + "/worker.trace").c_str(), 1);
    } else {
      unsetenv("MAX_PVM_PROCESSES");
    }
    if (options_.per_user)
      setenv("EXECUTION_MODEL", "PROCESS_PER_USER", 1);
    else
      setenv("EXECUTION_MODEL", "PROCESS_POOL", 1);
    setenv("MAX_PROCESSES", std::to_string(options_.max_processes).c_str(), 1);
    // A developer's own settings must not reach a test's server.
    unsetenv("VELMOR_SETTINGS");
    unsetenv("VELMOR_WATCH");
    for (const auto& e : options_.env) setenv(e.first.c_str(), e.second.c_str(), 1);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) return false;
  setpgid(pid_, pid_);  // also here, so that stop() works even if the child has not run yet
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStartSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (accepts(port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

void ServerProcess::stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

bool ServerProcess::wait_exit(int timeout_ms, int* status) {
  if (pid_ <= 0) return false;
  for (int waited = 0; waited <= timeout_ms; waited += 50) {
    if (waitpid(pid_, status, WNOHANG) == pid_) {
      pid_ = -1;
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::string ServerProcess::log() const {
  std::ifstream in(root_ + "/server.log");
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  return text.size() > 4000 ? "..." + text.substr(text.size() - 4000) : text;
}
