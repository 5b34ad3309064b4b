#include "test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "line_transport.h"

namespace velmor_test {

static long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

static void sleep_ms(int ms) { usleep(static_cast<useconds_t>(ms) * 1000); }

TempDir::TempDir() {
  char tmpl[] = "/tmp/velmor-server-test-XXXXXX";
  char* made = mkdtemp(tmpl);
  path_ = made ? made : "/tmp";
}

TempDir::~TempDir() {
  std::string cmd = "rm -rf '" + path_ + "'";
  if (path_.rfind("/tmp/velmor-server-test-", 0) == 0) {
    int ignored = system(cmd.c_str());
    (void)ignored;
  }
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& dir) {
  static int serial = 0;
  std::string tag = std::to_string(getpid()) + "-" + std::to_string(serial++);
  out_path_ = dir + "/out-" + tag + ".txt";
  err_path_ = dir + "/err-" + tag + ".txt";

  std::vector<std::string> env_text;
  const char* path = getenv("PATH");
  env_text.push_back(std::string("PATH=") + (path ? path : "/usr/bin:/bin"));
  for (const char* keep : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS",
                           "PVM_ROOT", "PVM_ALLOW_ROOT"}) {
    const char* v = getenv(keep);
    if (v != nullptr) env_text.push_back(std::string(keep) + "=" + v);
  }
  for (const auto& kv : env) env_text.push_back(kv.first + "=" + kv.second);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env_text) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    if (chdir(dir.c_str()) != 0) _exit(126);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
}

Process::~Process() { kill_all(); }

int Process::wait_exit(int timeout_ms) {
  long end = now_ms() + timeout_ms;
  while (!reaped_) {
    pid_t rc = waitpid(pid_, &status_, WNOHANG);
    if (rc == pid_) {
      reaped_ = true;
      break;
    }
    if (rc < 0) return -1;
    if (now_ms() > end) return -1;
    sleep_ms(20);
  }
  if (WIFEXITED(status_)) return WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) return 128 + WTERMSIG(status_);
  return -1;
}

static bool wait_for_text(const std::string& path, const std::string& text, int timeout_ms) {
  long end = now_ms() + timeout_ms;
  for (;;) {
    if (read_file(path).find(text) != std::string::npos) return true;
    if (now_ms() > end) return false;
    sleep_ms(20);
  }
}

bool Process::wait_for_out(const std::string& text, int timeout_ms) const {
  return wait_for_text(out_path_, text, timeout_ms);
}

bool Process::wait_for_err(const std::string& text, int timeout_ms) const {
  return wait_for_text(err_path_, text, timeout_ms);
}

std::vector<pid_t> Process::children() const {
  std::vector<pid_t> kids;
  if (pid_ <= 0) return kids;
  std::string task_dir = "/proc/" + std::to_string(pid_) + "/task";
  DIR* d = opendir(task_dir.c_str());
  if (d == nullptr) return kids;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::istringstream in(read_file(task_dir + "/" + e->d_name + "/children"));
    pid_t kid;
    while (in >> kid) kids.push_back(kid);
  }
  closedir(d);
  return kids;
}

void Process::kill_all() {
  if (pid_ <= 0 || reaped_) return;
  // Stopped first: a server that replaces killed workers would fork new ones.
  kill(pid_, SIGSTOP);
  for (int waited = 0; waited < 2000; waited += 10) {
    std::string stat = read_file("/proc/" + std::to_string(pid_) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'R') break;
    sleep_ms(10);
  }
  for (pid_t kid : children()) kill(kid, SIGKILL);
  kill(pid_, SIGKILL);
  wait_exit(5000);
}

int free_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  close(s);
  return ntohs(addr.sin_port);
}

int connect_from(const std::string& from, int port, int timeout_ms) {
  long end = now_ms() + timeout_ms;
  for (;;) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local;
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    sockaddr_in remote;
    memset(&remote, 0, sizeof(remote));
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof(remote)) == 0) return s;
    close(s);
    if (now_ms() > end) return -1;
    sleep_ms(50);
  }
}

bool readable(int sock, int timeout_ms) {
  pollfd p = {sock, POLLIN, 0};
  return poll(&p, 1, timeout_ms) > 0;
}

int recv_line(int sock, std::string* line, int timeout_ms) {
  if (!readable(sock, timeout_ms)) return -2;
  char buffer[4096];
  int n = receive_line(sock, buffer, sizeof(buffer));
  *line = buffer;
  return n;
}

bool peer_closed(int sock, int timeout_ms) {
  long end = now_ms() + timeout_ms;
  for (;;) {
    int left = static_cast<int>(end - now_ms());
    if (left < 0 || !readable(sock, left)) return false;
    char c;
    ssize_t n = recv(sock, &c, 1, 0);
    if (n <= 0) return true;
  }
}

bool process_alive(pid_t pid) {
  std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return false;
  size_t close_paren = stat.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < stat.size() &&
         stat[close_paren + 2] != 'Z';
}

int thread_count(pid_t pid) {
  std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("Threads:", 0) == 0) return atoi(line.c_str() + 8);
  return 0;
}

}  // namespace velmor_test
