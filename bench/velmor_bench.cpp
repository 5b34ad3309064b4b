// velmor_bench: the project's benchmark. Starts real Velmord processes on free
// loopback ports (each in a temporary root with its own VELMOR_LOG_DIR) beside
// floor servers that do the same exchanges with nothing else, and prints every
// figure as a ratio to its anchor measured in the same round. Rounds are
// interleaved so that a busy machine slows subject and anchor alike; the
// median and the spread (lowest and highest round) of the ratios are printed,
// absolute figures only beside them.
//
//   velmor_bench --build DIR --source DIR [--rounds N] [--only PART]
//   (PART: latency, throughput, stream, takeover, silent, reload or startup;
//   all by default)
//
// Internal modes, run in processes of their own:
//   velmor_bench --serve buffered|byte|tpc FD   floor server on a listening socket
//   velmor_bench --serve-port tpc PORT          the same, binding the port itself
//   velmor_bench --send-only PORT COUNT         send-only stream floor
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_net.h"

namespace {

std::string g_build;   // build tree: bin/, lib/
std::string g_source;  // source tree: bench/bench.def
std::string g_root;    // temporary root of this run
std::string g_self;    // this program, for the internal modes
std::vector<pid_t> g_groups;  // Velmord process groups (leader pids) to kill
std::vector<pid_t> g_floors;  // floor server pids to kill

const int kStartSeconds = 180;
// Stream lines are read through the same buffer for the floor and Velmord.
const int kStreamBuffer = 4096;

// --- Processes -------------------------------------------------------------

void forget(std::vector<pid_t>* list, pid_t pid) {
  list->erase(std::remove(list->begin(), list->end(), pid), list->end());
}

void kill_floor(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  forget(&g_floors, pid);
}

void kill_group(pid_t pid) {
  if (pid <= 0) return;
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  forget(&g_groups, pid);
}

void cleanup() {
  for (pid_t p : std::vector<pid_t>(g_floors)) kill_floor(p);
  for (pid_t p : std::vector<pid_t>(g_groups)) kill_group(p);
  if (!g_root.empty() && getenv("VELMOR_BENCH_KEEP") == nullptr)
    (void)!system(("rm -rf '" + g_root + "'").c_str());
  g_root.clear();
}

void on_signal(int) {
  cleanup();
  _exit(2);
}

// Runs this program in an internal mode; it inherits the open descriptors.
pid_t spawn_self(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, 1);
    std::vector<std::string> all = {g_self};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    execv(g_self.c_str(), argv.data());
    _exit(127);
  }
  if (pid > 0) g_floors.push_back(pid);
  return pid;
}

// A floor server on a fresh listening socket; its port into *port.
pid_t start_floor(const std::string& kind, int* port) {
  int fd = listen_loopback(0, 512);
  if (fd < 0) return -1;
  *port = bound_port(fd);
  pid_t pid = spawn_self({"--serve", kind, std::to_string(fd)});
  close(fd);
  return pid;
}

bool run(const std::string& command) { return system(command.c_str()) == 0; }

// --- Velmord instances -----------------------------------------------------

// GET_UPD_TIME~bench answered with a stamp: the server (or floor) serves.
bool probe(int port, std::string* stamp) {
  int fd = connect_loopback(port);
  if (fd < 0) return false;
  char buffer[1024];
  LineReader in(fd, false, buffer, sizeof buffer);
  std::string line;
  bool ok = send_text(fd, "GET_UPD_TIME~bench") && in.next(&line) && line != "__ERR__";
  close(fd);
  if (ok && stamp != nullptr) *stamp = line;
  return ok;
}

// Waits (bounded) until probe succeeds; false if the process ended first.
bool wait_ready(pid_t pid, int port, std::string* stamp) {
  int64_t deadline = now_ns() + int64_t{kStartSeconds} * 1000000000;
  while (now_ns() < deadline) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    if (probe(port, stamp)) return true;
    usleep(2000);
  }
  return false;
}

struct Velmord {
  std::string root;  // lib -> build lib, defs/bench.def, wrappers/ (cwd, VELMOR_LOG_DIR)
  std::string model = "PROCESS_POOL";
  int processes = 1;
  int port = 0;
  pid_t pid = -1;
  std::string stamp;
  std::vector<std::string> more_defs;  // definition files after defs/bench.def

  std::string wrappers() const { return root + "/wrappers"; }

  // Starts Velmord and waits until it answers; false on failure.
  bool start() {
    port = free_loopback_port();
    std::string log = root + "/server.log";
    std::string bin = g_build + "/bin";
    pid = fork();
    if (pid == 0) {
      setpgid(0, 0);
      if (chdir(wrappers().c_str()) != 0) _exit(127);
      int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("VELMOR_LOG_DIR", wrappers().c_str(), 1);
      setenv("VELMOR_BIN_DIR", bin.c_str(), 1);
      setenv("EXECUTION_MODEL", model.c_str(), 1);
      setenv("MAX_PROCESSES", std::to_string(processes).c_str(), 1);
      unsetenv("ALLOW_CLIENTS");
      unsetenv("MAX_PVM_PROCESSES");
      unsetenv("MAX_THREADS_PER_PROCESS");
      std::vector<std::string> args = {bin + "/Velmord", "-p", std::to_string(port),
                                       root + "/defs/bench.def"};
      args.insert(args.end(), more_defs.begin(), more_defs.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(&a[0]);
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid < 0) return false;
    setpgid(pid, pid);
    g_groups.push_back(pid);
    if (wait_ready(pid, port, &stamp)) return true;
    fprintf(stderr, "velmor_bench: Velmord (%s, %d) did not come up; its log: %s\n",
            model.c_str(), processes, log.c_str());
    return false;
  }
  void stop() {
    kill_group(pid);
    pid = -1;
  }
  std::string call_line(const char* function, int callback_port) const {
    return std::string("START_FUNCTION~bench~") + function + "~" +
           std::to_string(callback_port) + "~" + stamp;
  }
};

// A new root for an instance, a copy of the template (stubs up to date).
std::string copy_root(const std::string& name) {
  std::string to = g_root + "/" + name;
  if (!run("cp -a '" + g_root + "/template' '" + to + "'")) return "";
  return to;
}

// The template root: the definition file and its stubs, built once.
bool prepare_template() {
  std::string t = g_root + "/template";
  if (!run("mkdir -p '" + t + "/defs' '" + t + "/wrappers'") ||
      symlink((g_build + "/lib").c_str(), (t + "/lib").c_str()) != 0 ||
      !run("cp '" + g_source + "/bench/bench.def' '" + t + "/defs/bench.def'"))
    return false;
  // A stub is up to date only when it is newer than its definition file by
  // the clock's second: a definition copied in the second the stub is built
  // would have every copy regenerate.
  timeval past[2];
  gettimeofday(&past[0], nullptr);
  past[0].tv_sec -= 60;
  past[1] = past[0];
  if (utimes((t + "/defs/bench.def").c_str(), past) != 0) return false;
  Velmord v;
  v.root = t;
  bool ok = v.start();
  v.stop();
  if (ok) unlink((t + "/server.log").c_str());
  return ok;
}

// The generated stub library and its source in a wrappers directory.
bool find_stub(const std::string& dir, std::string* library, std::string* source) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.size() > 3 && n.compare(n.size() - 3, 3, ".so") == 0) *library = dir + "/" + n;
  }
  closedir(d);
  if (library->empty()) return false;
  *source = library->substr(0, library->size() - 3) + ".cpp";
  return access(source->c_str(), R_OK) == 0;
}

// --- Statistics and printing ----------------------------------------------

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Figure {
  std::vector<double> ratio;     // one per round
  std::vector<double> absolute;  // one per round
};

void print_figure(const char* what, const Figure& f, const char* unit, double scale) {
  if (f.ratio.empty()) {
    printf("  %-46s      n/a\n", what);
    return;
  }
  auto mm = std::minmax_element(f.ratio.begin(), f.ratio.end());
  printf("  %-46s %6.2f  [%5.2f .. %5.2f]", what, median(f.ratio), *mm.first, *mm.second);
  if (!f.absolute.empty()) printf("   %10.1f %s", median(f.absolute) * scale, unit);
  printf("\n");
}

std::map<std::string, int> g_errors;

void count_error(const std::string& what) { g_errors[what]++; }

// --- Plain-call latency -----------------------------------------------------

struct Subject {
  std::string name;
  int port;
  std::string start_line;
  bool one_byte;
  int sources = 1;  // client threads spread over 127.0.0.1 .. 127.0.0.sources
};

// Median latency (ns) of n sequential calls.
double call_latency(const Subject& s, int n) {
  std::vector<double> t;
  std::string result;
  for (int i = 0; i < n; i++) {
    int64_t t0 = now_ns();
    if (!plain_call(s.port, s.start_line, s.one_byte, &result)) {
      count_error(s.name + " call");
      continue;
    }
    t.push_back(static_cast<double>(now_ns() - t0));
  }
  return median(t);
}

void bench_latency(const std::vector<Subject>& subjects, int rounds) {
  // subjects: buffered floor, byte floor, pool 1, pool 2, per-user 2
  const int kChunks = 6, kCalls = 30;
  std::vector<std::vector<double>> med(subjects.size());
  for (int r = 0; r < rounds; r++) {
    std::vector<std::vector<double>> chunk(subjects.size());
    for (int c = 0; c < kChunks; c++)
      for (size_t i = 0; i < subjects.size(); i++)
        chunk[i].push_back(call_latency(subjects[i], kCalls));
    for (size_t i = 0; i < subjects.size(); i++) med[i].push_back(median(chunk[i]));
  }
  auto ratio = [&](size_t a, size_t b) {
    Figure f;
    for (int r = 0; r < rounds; r++) {
      if (med[b][r] > 0) f.ratio.push_back(med[a][r] / med[b][r]);
      f.absolute.push_back(med[a][r]);
    }
    return f;
  };
  printf("\nPlain 2-argument call, latency (connect, five exchanges, close); ratio [spread]   "
         "median\n");
  print_figure("buffered floor", ratio(0, 0), "us", 1e-3);
  print_figure("one-byte floor / buffered floor", ratio(1, 0), "us", 1e-3);
  print_figure("pool, 1 process / buffered floor", ratio(2, 0), "us", 1e-3);
  print_figure("pool, 1 process / one-byte floor", ratio(2, 1), "us", 1e-3);
  print_figure("pool, 2 processes / buffered floor", ratio(3, 0), "us", 1e-3);
  print_figure("per-user, 2 processes / buffered floor", ratio(4, 0), "us", 1e-3);
  print_figure("per-user, 2 processes / pool, 1 process", ratio(4, 2), "us", 1e-3);
  print_figure("per-user, 2 processes / pool, 2 processes", ratio(4, 3), "us", 1e-3);
}

// --- Throughput ------------------------------------------------------------

struct Load {
  double calls_per_second = 0;
  double busiest_share = 0;  // of the calls, by the worker pid they answered
};

Load run_load(const Subject& s, int threads, double seconds) {
  std::atomic<int> ready(0);
  std::atomic<bool> go(false);
  std::vector<std::map<std::string, int>> by_pid(threads);
  std::vector<int> errors(threads, 0);
  int64_t t_start = 0, t_end = 0;
  std::vector<std::thread> pool;
  for (int i = 0; i < threads; i++) {
    pool.emplace_back([&, i] {
      ready++;
      while (!go) std::this_thread::yield();
      std::string result;
      while (now_ns() < t_end) {
        if (plain_call(s.port, s.start_line, s.one_byte, &result, 1 + i % s.sources))
          by_pid[i][result]++;
        else
          errors[i]++;
      }
    });
  }
  while (ready < threads) std::this_thread::yield();
  t_start = now_ns();
  t_end = t_start + static_cast<int64_t>(seconds * 1e9);
  go = true;
  for (std::thread& t : pool) t.join();
  double elapsed = static_cast<double>(now_ns() - t_start) / 1e9;
  std::map<std::string, int> total;
  int calls = 0;
  for (int i = 0; i < threads; i++) {
    for (auto& kv : by_pid[i]) {
      total[kv.first] += kv.second;
      calls += kv.second;
    }
    if (errors[i] > 0) g_errors[s.name + " call under load"] += errors[i];
  }
  Load out;
  out.calls_per_second = calls / elapsed;
  int busiest = 0;
  for (auto& kv : total) busiest = std::max(busiest, kv.second);
  out.busiest_share = calls > 0 ? static_cast<double>(busiest) / calls : 0;
  return out;
}

void bench_throughput(const std::vector<Subject>& subjects, int rounds) {
  // subjects: buffered floor, pool 1, pool 2, per-user 2 (clients on one
  // address), per-user 2 (clients on two addresses, one per worker)
  const int kThreads[] = {1, 2, 8, 16, 32};
  const double kSeconds = 0.25;
  printf("\nCalls per second by client threads; ratio [spread]   median calls/s\n");
  for (int threads : kThreads) {
    std::vector<std::vector<Load>> loads(subjects.size());
    for (int r = 0; r < rounds; r++)
      for (size_t i = 0; i < subjects.size(); i++)
        loads[i].push_back(run_load(subjects[i], threads, kSeconds));
    auto ratio = [&](size_t a, size_t b) {
      Figure f;
      for (int r = 0; r < rounds; r++) {
        if (loads[b][r].calls_per_second > 0)
          f.ratio.push_back(loads[a][r].calls_per_second / loads[b][r].calls_per_second);
        f.absolute.push_back(loads[a][r].calls_per_second);
      }
      return f;
    };
    char what[96];
    printf(" %d client thread%s\n", threads, threads == 1 ? "" : "s");
    snprintf(what, sizeof what, "pool, 1 process / buffered floor");
    print_figure(what, ratio(1, 0), "calls/s", 1);
    print_figure("pool, 2 processes / buffered floor", ratio(2, 0), "calls/s", 1);
    print_figure("pool, 2 processes / pool, 1 process", ratio(2, 1), "calls/s", 1);
    print_figure("per-user, 2 processes / pool, 1 process", ratio(3, 1), "calls/s", 1);
    print_figure("per-user, 2 processes / pool, 2 processes", ratio(3, 2), "calls/s", 1);
    print_figure("per-user, 2 addresses / pool, 2 processes", ratio(4, 2), "calls/s", 1);
    Figure share;
    for (int r = 0; r < rounds; r++) share.ratio.push_back(loads[2][r].busiest_share);
    print_figure("pool, 2 processes: busiest worker's share", share, "", 1);
  }
}

// --- Scalar stream ---------------------------------------------------------

// Values per second of one floor run: a sender that only sends.
double stream_floor(int count) {
  int listener = listen_loopback(0, 4);
  if (listener < 0) return 0;
  pid_t pid =
      spawn_self({"--send-only", std::to_string(bound_port(listener)), std::to_string(count)});
  int fd = accept(listener, nullptr, nullptr);
  close(listener);
  double rate = 0;
  if (fd >= 0) {
    int64_t t0 = now_ns();
    char buffer[kStreamBuffer];
    LineReader in(fd, false, buffer, sizeof buffer);
    std::string line;
    int values = 0;
    while (in.next(&line) && line.find('=') != std::string::npos) values++;
    double elapsed = static_cast<double>(now_ns() - t0) / 1e9;
    if (values == count) rate = values / elapsed;
    close(fd);
  }
  if (rate == 0) count_error("send-only floor");
  kill_floor(pid);
  return rate;
}

// The client's two call-back ports (p and p + 1) and its stream connection.
struct StreamClient {
  int callback_fd = -1;
  int stream_listen_fd = -1;
  int port = 0;
  int stream_fd = -1;
  std::unique_ptr<LineReader> in;
  char buffer[kStreamBuffer];

  bool open() {
    for (int attempt = 0; attempt < 64; attempt++) {
      int a = listen_loopback(0, 16);
      int p = a >= 0 ? bound_port(a) : 0;
      int b = p > 0 && p < 65535 ? listen_loopback(p + 1, 16) : -1;
      if (b >= 0) {
        callback_fd = a;
        stream_listen_fd = b;
        port = p;
        return true;
      }
      if (a >= 0) close(a);
    }
    return false;
  }
  ~StreamClient() {
    for (int fd : {callback_fd, stream_listen_fd, stream_fd})
      if (fd >= 0) close(fd);
  }
};

// Values per second of one bench_count call, from the request to the end text.
double stream_velmord(const Velmord& v, StreamClient* c, int count) {
  int64_t t0 = now_ns();
  int fd = connect_loopback(v.port);
  if (fd < 0) return 0;
  std::string key, reply;
  {
    char buffer[1024];
    LineReader in(fd, false, buffer, sizeof buffer);
    bool ok = send_text(fd, v.call_line("bench_count", c->port).c_str()) && in.next(&reply) &&
              reply == "__OK__" && send_text(fd, std::to_string(count).c_str()) &&
              in.next(&reply) && send_text(fd, "__END_OF_ARGUMENTS__") && in.next(&key) &&
              key.compare(0, 8, "#STREAM_") == 0 && send_text(fd, "__OK__");
    close(fd);
    if (!ok) return 0;
  }
  if (c->stream_fd < 0) {
    c->stream_fd = accept(c->stream_listen_fd, nullptr, nullptr);
    if (c->stream_fd < 0) return 0;
    c->in.reset(new LineReader(c->stream_fd, false, c->buffer, sizeof c->buffer));
  }
  std::string value_prefix = key + "=";
  std::string line;
  int values = 0;
  while (c->in->next(&line)) {
    if (line.compare(0, value_prefix.size(), value_prefix) == 0) {
      values++;
    } else if (line == key) {
      break;
    }
  }
  double elapsed = static_cast<double>(now_ns() - t0) / 1e9;
  return values == count ? values / elapsed : 0;
}

void bench_stream(const Velmord& pool1, int rounds) {
  const int kCount = 30000;
  StreamClient client;
  if (!client.open()) {
    count_error("call-back ports");
    return;
  }
  Figure f, floor_rate;
  for (int r = 0; r < rounds; r++) {
    double fl = stream_floor(kCount);
    double vs = stream_velmord(pool1, &client, kCount);
    if (vs == 0) count_error("stream call");
    if (fl > 0 && vs > 0) f.ratio.push_back(vs / fl);
    f.absolute.push_back(vs);
    floor_rate.ratio.push_back(1);
    floor_rate.absolute.push_back(fl);
  }
  printf("\nScalar stream (ExcelChannel<int>, %d values), values per second; ratio [spread]\n",
         kCount);
  print_figure("send-only floor", floor_rate, "values/s", 1);
  print_figure("pool, 1 process / send-only floor", f, "values/s", 1);
}

// --- Accept turn after a worker's death -------------------------------------

std::vector<pid_t> children_of(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/task/%d/children", static_cast<int>(pid),
           static_cast<int>(pid));
  std::vector<pid_t> out;
  FILE* f = fopen(path, "r");
  int child;
  while (f != nullptr && fscanf(f, "%d", &child) == 1) out.push_back(child);
  if (f != nullptr) fclose(f);
  return out;
}

// Waits (bounded) until the server has n workers, none of them gone.
std::vector<pid_t> wait_for_workers(pid_t server, size_t n, pid_t gone) {
  std::vector<pid_t> kids;
  for (int i = 0; i < 1000; i++) {
    kids = children_of(server);
    if (kids.size() == n && std::find(kids.begin(), kids.end(), gone) == kids.end()) break;
    usleep(10000);
  }
  return kids;
}

// Kills each worker of the two in turn (one of them holds the accept turn)
// and times the first call after the kill; the slower of the two against a
// plain call of the same round.
void bench_takeover(const Velmord& pool2, const Subject& s, int rounds) {
  Figure f;
  for (int r = 0; r < rounds; r++) {
    std::vector<pid_t> kids = wait_for_workers(pool2.pid, 2, 0);
    double plain = call_latency(s, 30);  // also brings both workers into their loop
    double worst = 0;
    for (size_t k = 0; k < kids.size() && kids.size() == 2; k++) {
      kill(kids[k], SIGKILL);
      int64_t t0 = now_ns();
      std::string result;
      bool ok = false;
      for (int attempt = 0; attempt < 5 && !ok; attempt++)
        ok = plain_call(s.port, s.start_line, false, &result);
      worst = std::max(worst, static_cast<double>(now_ns() - t0));
      if (!ok) count_error("call after a worker's death");
      wait_for_workers(pool2.pid, 2, kids[k]);
      call_latency(s, 30);
    }
    if (plain > 0 && worst > 0) f.ratio.push_back(worst / plain);
    f.absolute.push_back(worst);
  }
  printf("\nAccept turn when a worker dies (pool, 2 processes); ratio [spread]   median\n");
  print_figure("first call after the kill / plain call", f, "ms", 1e-6);
}

// --- Memory per idle connection -------------------------------------------

long status_field(pid_t pid, const char* field) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  FILE* f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long value = -1;
  size_t n = strlen(field);
  while (fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, field, n) == 0 && line[n] == ':') value = atol(line + n + 1);
  fclose(f);
  return value;
}

// Open descriptors of a process.
int open_descriptors(pid_t pid) {
  DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n - 2;
}

// n loopback connections to port that send nothing; waits (bounded) until
// the process pid holds a descriptor for each.
std::vector<int> silent_connections(pid_t pid, int port, int n) {
  int before = open_descriptors(pid);
  std::vector<int> fds;
  for (int i = 0; i < n; i++) {
    int fd = connect_loopback(port);
    if (fd >= 0) fds.push_back(fd);
  }
  int64_t deadline = now_ns() + 20 * int64_t{1000000000};
  while (now_ns() < deadline && open_descriptors(pid) < before + static_cast<int>(fds.size()))
    usleep(10000);
  usleep(200000);
  return fds;
}

// RSS growth (KiB) per idle connection of the process serving port.
double rss_per_idle_connection(pid_t pid, int port, int connections) {
  usleep(100000);
  long before = status_field(pid, "VmRSS");
  std::vector<int> fds = silent_connections(pid, port, connections);
  long after = status_field(pid, "VmRSS");
  for (int fd : fds) close(fd);
  if (before < 0 || after < 0 || static_cast<int>(fds.size()) != connections) return 0;
  return static_cast<double>(after - before) / connections;
}

// --- Many silent connections ----------------------------------------------

// Threads and memory of a one-process pool holding 10,000 connections that
// send nothing (a port scan, idle add-ins), and a plain call meanwhile
// against the same call at rest.
void bench_silent(const Velmord& v, const Subject& s, int rounds) {
  const int kSilent = 10000;
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Figure call, threads, rss;
  for (int r = 0; r < rounds; r++) {
    long rest_rss = status_field(v.pid, "VmRSS");
    double at_rest = call_latency(s, 30);
    std::vector<int> fds = silent_connections(v.pid, v.port, kSilent);
    long busy_threads = status_field(v.pid, "Threads");
    long busy_rss = status_field(v.pid, "VmRSS");
    double meanwhile = call_latency(s, 30);
    for (int fd : fds) close(fd);
    if (static_cast<int>(fds.size()) != kSilent) count_error("silent connections");
    if (at_rest > 0 && meanwhile > 0) call.ratio.push_back(meanwhile / at_rest);
    call.absolute.push_back(meanwhile);
    // Against the targets: at most 64 threads, at most 64 MiB above rest.
    threads.ratio.push_back(static_cast<double>(busy_threads) / 64);
    threads.absolute.push_back(static_cast<double>(busy_threads));
    rss.ratio.push_back(static_cast<double>(busy_rss - rest_rss) / (64 * 1024));
    rss.absolute.push_back(static_cast<double>(busy_rss - rest_rss));
    usleep(500000);  // the closed connections are collected
  }
  printf("\n%d silent connections (pool, 1 process); ratio [spread]   median\n", kSilent);
  print_figure("plain call meanwhile / at rest", call, "us", 1e-3);
  print_figure("server threads / 64", threads, "threads", 1);
  print_figure("RSS above rest / 64 MiB", rss, "KiB", 1);
}

// --- Compiling a stub alone ------------------------------------------------

// The stub compile command of system.info (LINUX-CC, a printf template of
// the output and the source's base name).
std::string compile_template() {
  std::string cc_template;
  FILE* f = fopen((g_build + "/bin/system.info").c_str(), "r");
  char line[4096];
  while (f != nullptr && fgets(line, sizeof line, f) != nullptr)
    if (strncmp(line, "LINUX-CC ", 9) == 0) cc_template = line + 9;
  if (f != nullptr) fclose(f);
  cc_template.erase(cc_template.find_last_not_of("\r\n") + 1);
  return cc_template;
}

// Nanoseconds the compiler alone takes over a generated stub source (its
// path), writing to out; 0 on failure.
double compile_alone(const std::string& cc_template, const std::string& source,
                     const std::string& out) {
  std::string base = source.substr(0, source.size() - 4);
  char command[8192];
  snprintf(command, sizeof command, cc_template.c_str(), out.c_str(), base.c_str());
  int64_t t0 = now_ns();
  bool ok = run(std::string(command) + " >/dev/null 2>&1");
  return ok ? static_cast<double>(now_ns() - t0) : 0;
}

// --- Reload ------------------------------------------------------------------

// The server's log from offset on.
std::string log_since(const std::string& path, size_t offset) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == nullptr) return "";
  std::string text;
  char buffer[4096];
  if (fseek(f, static_cast<long>(offset), SEEK_SET) == 0) {
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  }
  fclose(f);
  return text;
}

size_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

// A second module whose definition file every round changes (written anew
// and renamed over the old, as a deployment does), so that each reload
// rebuilds and compiles its stubs; bench.def stays, and with it the stamp
// the calls send.
bool write_changing_def(const std::string& path, int round) {
  std::string fresh = path + ".new";
  FILE* f = fopen(fresh.c_str(), "w");
  if (f == nullptr) return false;
  fprintf(f, "// round %d\nLIBRARIES {\n    ../lib/bench_functions.so;\n}\n"
             "FUNCTIONS {\n    int bench_pid (int a, int b);\n}\n", round);
  bool ok = fclose(f) == 0;
  return ok && rename(fresh.c_str(), path.c_str()) == 0;
}

// Each round: plain calls at rest, then SIGUSR2 after a change to the second
// module, and plain calls without pause until one is answered by a worker
// that was not there before the signal, the first call the new registry
// served. Calls meanwhile against calls at rest; the time to the first new
// answer against compiling the changed stub alone.
void bench_reload(const Subject& s, int rounds) {
  Velmord v;
  v.root = copy_root("reload");
  v.processes = 2;
  std::string changing = v.root + "/defs/bench_changing.def";
  v.more_defs = {changing};
  std::string cc_template = compile_template();
  if (v.root.empty() || !write_changing_def(changing, 0) || !v.start()) {
    count_error("reload server");
    return;
  }
  Subject r = s;
  r.port = v.port;
  r.start_line = v.call_line("bench_pid", 1);
  std::string log = v.root + "/server.log";
  Figure during, first;
  for (int round = 1; round <= rounds; round++) {
    std::vector<pid_t> old = wait_for_workers(v.pid, 2, 0);
    call_latency(r, 200);  // the last round's new workers past their first calls
    double at_rest = call_latency(r, 200);
    if (!write_changing_def(changing, round)) break;
    size_t logged = file_size(log);
    int64_t t0 = now_ns();
    kill(v.pid, SIGUSR2);
    std::vector<double> meanwhile;
    double to_first = 0;
    std::string result;
    while (now_ns() - t0 < 120 * int64_t{1000000000}) {
      int64_t c0 = now_ns();
      if (!plain_call(r.port, r.start_line, false, &result)) {
        count_error("call during a reload");
        continue;
      }
      pid_t by = static_cast<pid_t>(atol(result.c_str()));
      if (std::find(old.begin(), old.end(), by) == old.end()) {
        to_first = static_cast<double>(now_ns() - t0);
        break;
      }
      meanwhile.push_back(static_cast<double>(now_ns() - c0));
    }
    // The next round starts from a quiet server: the reload said its summary.
    for (int i = 0; i < 2000 && log_since(log, logged).find("Reload finished in ") ==
                                    std::string::npos; i++)
      usleep(10000);
    double cc = compile_alone(cc_template, v.wrappers() + "/bench_changing.cpp",
                              g_root + "/reload_compile");
    if (to_first == 0) count_error("reload never served");
    if (at_rest > 0 && !meanwhile.empty()) during.ratio.push_back(median(meanwhile) / at_rest);
    if (!meanwhile.empty()) during.absolute.push_back(median(meanwhile));
    if (to_first > 0 && cc > 0) first.ratio.push_back(to_first / cc);
    if (to_first > 0) first.absolute.push_back(to_first);
    if (cc == 0) count_error("compiling the changed stub");
  }
  v.stop();
  printf("\nReload with a changed definition file (pool, 2 processes); ratio [spread]   median\n");
  print_figure("plain call during the reload / at rest", during, "us", 1e-3);
  print_figure("signal to first new-worker call / stub compile", first, "ms", 1e-6);
}

// --- Start-up and memory, on fresh processes -------------------------------

void bench_startup_and_memory(int rounds) {
  const int kIdle = 100;
  Figure up, regen, rss;
  std::string cc_template = compile_template();
  for (int r = 0; r < rounds; r++) {
    // Anchor of the start: a minimal thread-per-connection server.
    int port = free_loopback_port();
    int64_t t0 = now_ns();
    pid_t tpc = spawn_self({"--serve-port", "tpc", std::to_string(port)});
    bool tpc_ok = wait_ready(tpc, port, nullptr);
    double t_tpc = static_cast<double>(now_ns() - t0);
    double rss_tpc = tpc_ok ? rss_per_idle_connection(tpc, port, kIdle) : 0;
    kill_floor(tpc);

    // Stubs up to date.
    Velmord v;
    v.root = copy_root("start" + std::to_string(r));
    t0 = now_ns();
    bool ok = !v.root.empty() && v.start();
    double t_up = static_cast<double>(now_ns() - t0);
    double rss_v = ok ? rss_per_idle_connection(v.pid, v.port, kIdle) : 0;
    v.stop();
    if (tpc_ok && ok) up.ratio.push_back(t_up / t_tpc);
    up.absolute.push_back(t_up);
    if (rss_tpc > 0 && rss_v > 0) rss.ratio.push_back(rss_v / rss_tpc);
    rss.absolute.push_back(rss_v);
    if (!ok || !tpc_ok) count_error("start-up");

    // Stubs regenerated: the stub library is gone. Anchor: the compiler alone
    // on the same generated source.
    std::string library, source;
    if (!ok || !find_stub(v.wrappers(), &library, &source)) {
      count_error("stub library");
      continue;
    }
    unlink(library.c_str());
    t0 = now_ns();
    bool regen_ok = v.start();
    double t_regen = static_cast<double>(now_ns() - t0);
    v.stop();
    double t_cc = compile_alone(cc_template, source, g_root + "/compile" + std::to_string(r));
    bool cc_ok = t_cc > 0;
    if (regen_ok && cc_ok) regen.ratio.push_back(t_regen / t_cc);
    regen.absolute.push_back(t_regen);
    if (!regen_ok || !cc_ok) count_error("start-up with regeneration");
  }
  printf("\nMemory per idle connection (%d connections, pool, 1 process); ratio [spread]\n",
         kIdle);
  print_figure("pool, 1 process / thread-per-connection server", rss, "KiB", 1);
  printf("\nStart-up until the first answer; ratio [spread]   median\n");
  print_figure("stubs up to date / minimal server start", up, "ms", 1e-6);
  print_figure("stubs regenerated / compiling the stub alone", regen, "ms", 1e-6);
}

// --- Main ------------------------------------------------------------------

int usage() {
  fprintf(stderr,
          "usage: velmor_bench --build DIR --source DIR [--rounds N] "
          "[--only latency|throughput|stream|takeover|silent|reload|startup]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return 1;
  self[n] = '\0';
  g_self = self;

  if (argc == 4 && strcmp(argv[1], "--serve") == 0) serve_floor(argv[2], atoi(argv[3]));
  if (argc == 4 && strcmp(argv[1], "--serve-port") == 0) {
    int fd = listen_loopback(atoi(argv[3]), 512);
    if (fd < 0) return 1;
    serve_floor(argv[2], fd);
  }
  if (argc == 4 && strcmp(argv[1], "--send-only") == 0)
    return send_only(atoi(argv[2]), atoi(argv[3]));

  int rounds = 9;
  std::string only;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--build" && i + 1 < argc) g_build = argv[++i];
    else if (a == "--source" && i + 1 < argc) g_source = argv[++i];
    else if (a == "--rounds" && i + 1 < argc) rounds = std::max(1, atoi(argv[++i]));
    else if (a == "--only" && i + 1 < argc) only = argv[++i];
    else return usage();
  }
  if (g_build.empty() || g_source.empty()) return usage();
  // Velmord runs in the root's wrappers directory: paths must not be relative.
  for (std::string* dir : {&g_build, &g_source}) {
    char* full = realpath(dir->c_str(), nullptr);
    if (full == nullptr) return usage();
    *dir = full;
    free(full);
  }

  char pattern[] = "/tmp/velmor-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  g_root = pattern;
  atexit(cleanup);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  int64_t t_begin = now_ns();
  printf("Velmor benchmark: %d rounds, each figure a ratio to its anchor in the same round,\n"
         "median over the rounds and [lowest .. highest]; absolute medians beside.\n",
         rounds);
  if (!prepare_template()) {
    fprintf(stderr, "velmor_bench: cannot build the benchmark's stubs (see %s/template)\n",
            g_root.c_str());
    return 1;
  }

  Velmord pool1, pool2, per_user;
  pool1.root = copy_root("pool1");
  pool2.root = copy_root("pool2");
  pool2.processes = 2;
  per_user.root = copy_root("peruser");
  per_user.model = "PROCESS_PER_USER";
  per_user.processes = 2;
  int buffered_port = 0, byte_port = 0;
  pid_t buffered = start_floor("buffered", &buffered_port);
  pid_t byte = start_floor("byte", &byte_port);
  if (!pool1.start() || !pool2.start() || !per_user.start() || buffered < 0 || byte < 0 ||
      !wait_ready(buffered, buffered_port, nullptr) || !wait_ready(byte, byte_port, nullptr))
    return 1;

  std::string floor_line = "START_FUNCTION~bench~bench_pid~1~stamp";
  Subject s_buffered = {"buffered floor", buffered_port, floor_line, false};
  Subject s_byte = {"one-byte floor", byte_port, floor_line, true};
  Subject s_pool1 = {"pool 1", pool1.port, pool1.call_line("bench_pid", 1), false};
  Subject s_pool2 = {"pool 2", pool2.port, pool2.call_line("bench_pid", 1), false};
  Subject s_user = {"per-user 2", per_user.port, per_user.call_line("bench_pid", 1), false};
  // Warm-up: the per-user worker is forked at the first call, libraries get paged in.
  for (const Subject& s : {s_buffered, s_byte, s_pool1, s_pool2, s_user}) call_latency(s, 20);
  std::string warm;
  for (int i = 0; i < 20; i++) plain_call(s_user.port, s_user.start_line, false, &warm, 2);
  g_errors.clear();

  auto wanted = [&](const char* part) { return only.empty() || only == part; };
  if (wanted("latency")) bench_latency({s_buffered, s_byte, s_pool1, s_pool2, s_user}, rounds + 2);
  Subject s_user_spread = s_user;
  s_user_spread.name = "per-user 2, 2 addresses";
  s_user_spread.sources = 2;
  if (wanted("throughput"))
    bench_throughput({s_buffered, s_pool1, s_pool2, s_user, s_user_spread}, rounds);
  if (wanted("stream")) bench_stream(pool1, rounds);
  if (wanted("takeover")) bench_takeover(pool2, s_pool2, std::max(3, rounds / 2));
  if (wanted("silent")) bench_silent(pool1, s_pool1, std::max(3, rounds / 3));
  if (wanted("reload")) bench_reload(s_pool2, std::max(3, rounds / 2));
  pool1.stop();
  pool2.stop();
  per_user.stop();
  kill_floor(buffered);
  kill_floor(byte);
  if (wanted("startup")) bench_startup_and_memory(std::max(3, rounds / 2));

  printf("\n(%.0f s in all)\n", static_cast<double>(now_ns() - t_begin) / 1e9);
  if (!g_errors.empty()) {
    printf("\nFailures (figures above leave them out):\n");
    for (auto& kv : g_errors) printf("  %s: %d\n", kv.first.c_str(), kv.second);
  }
  return 0;
}
