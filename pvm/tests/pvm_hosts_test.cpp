// Calls spread over several PVM hosts: run by test_hosts.sh, which builds a
// virtual machine of worker hosts in network namespaces beside this server's
// namespace (VELMOR_TEST_HOSTS names them). A per-user Velmord with three
// slots and MAX_PVM_PROCESSES=3 places its slots' worker tasks on different
// hosts; the client sees the same lines as from a server without PVM; a host
// whose daemon goes away ends only the calls running there, and its slot's
// next call runs on a new task on a host still there.
//
// The calls go through the velmor_client program, one client address per
// slot (127.0.0.1, .2, .3); its standard output is the client's view.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pvm3.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pvm_buffers.h"
#include "e2e_support.h"
#include "server_process.h"

namespace {

const int kSlots = 3;

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// VELMOR_TEST_HOST_LOSS=link: the lost host's link is taken down instead of
// its daemon stopped. PVM then needs about three minutes to give the host up,
// too long for every run, so this is for a run by hand.
bool cut_links() {
  const char* how = getenv("VELMOR_TEST_HOST_LOSS");
  return how != nullptr && strcmp(how, "link") == 0;
}

std::string slot_address(int slot) { return "127.0.0." + std::to_string(slot + 1); }

// velmor_client's standard output for one call from `source` (bounded), with
// "rc=N" and its error output appended when it fails.
std::string call(const ServerProcess& server, int slot, const std::string& module,
                 const std::vector<std::string>& args, const std::string& options = "") {
  static std::atomic<int> calls{0};
  std::string errors = server.root() + "/client." + std::to_string(++calls) + ".err";
  // A cut link is noticed only when PVM gives the host up, minutes later.
  std::string timeouts = cut_links() ? "timeout 400 " : "timeout 120 ";
  std::string command = timeouts + std::string(VELMOR_BUILD_DIR) + "/bin/velmor_client --timeout " +
                        (cut_links() ? "360" : "90") + " -s " + slot_address(slot) + " -p " +
                        std::to_string(server.port()) + " -d " + server.def_path(module) + " " +
                        options + " call " + module;
  for (const std::string& a : args) command += " '" + a + "'";
  return command_output(command, errors);
}

// The pvm_worker tasks of the virtual machine, by task id, with the name of
// the host each runs on.
std::map<int, std::string> worker_tasks() {
  std::map<int, std::string> placed;
  {
    PvmBufferScope scope;
    int nhost = 0, narch = 0;
    pvmhostinfo* hosts = nullptr;
    std::map<int, std::string> host_names;
    if (pvm_config(&nhost, &narch, &hosts) >= 0)
      for (int i = 0; i < nhost; i++) host_names[hosts[i].hi_tid] = hosts[i].hi_name;
    int ntask = 0;
    pvmtaskinfo* tasks = nullptr;
    if (pvm_tasks(0, &ntask, &tasks) >= 0) {
      for (int i = 0; i < ntask; i++) {
        // The hosts share this machine's process ids, so the command line tells.
        std::string cmdline = read_file("/proc/" + std::to_string(tasks[i].ti_pid) + "/cmdline");
        if (cmdline.find("pvm_worker") != std::string::npos)
          placed[tasks[i].ti_tid] = host_names[tasks[i].ti_host];
      }
    }
  }
  pvm_pthread_exit();
  return placed;
}

std::set<std::string> vm_hosts() {
  std::set<std::string> names;
  {
    PvmBufferScope scope;
    int nhost = 0, narch = 0;
    pvmhostinfo* hosts = nullptr;
    if (pvm_config(&nhost, &narch, &hosts) >= 0)
      for (int i = 0; i < nhost; i++) names.insert(hosts[i].hi_name);
  }
  pvm_pthread_exit();
  return names;
}

// The task that appeared since `before`; 0 when none or several.
int new_task(const std::map<int, std::string>& before, const std::map<int, std::string>& after) {
  int found = 0;
  for (const auto& t : after) {
    if (before.count(t.first)) continue;
    if (found != 0) return 0;
    found = t.first;
  }
  return found;
}

size_t count_of(const std::string& text, const std::string& word) {
  size_t n = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) n++;
  return n;
}

// Stops the PVM daemon of a test host (SIGTERM, by pid), as when the host is
// shut down: found among the processes of the host's network namespace.
// With cut_links(), takes the host's link down instead.
bool stop_host_daemon(const std::string& host) {
  std::string number = host.substr(host.find_last_not_of("0123456789") + 1);
  if (cut_links()) return system(("ip link set velmor-v" + number + " down").c_str()) == 0;
  std::string holder = read_file(std::string(getenv("VELMOR_TEST_HOSTS_DIR")) + "/host" + number + ".pid");
  holder = holder.substr(0, holder.find('\n'));
  char ns[256] = "";
  if (holder.empty() || readlink(("/proc/" + holder + "/ns/net").c_str(), ns, sizeof ns - 1) <= 0)
    return false;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  bool stopped = false;
  while (dirent* e = readdir(proc)) {
    std::string pid = e->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == holder) continue;
    char its[256] = "";
    if (readlink(("/proc/" + pid + "/ns/net").c_str(), its, sizeof its - 1) <= 0) continue;
    if (std::string(its) != ns) continue;
    std::string cmdline = read_file("/proc/" + pid + "/cmdline");
    if (cmdline.find("/pvmd") == std::string::npos) continue;
    stopped = kill(atoi(pid.c_str()), SIGTERM) == 0 || stopped;
  }
  closedir(proc);
  return stopped;
}

class PvmHosts : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    hosts_ = words(getenv("VELMOR_TEST_HOSTS") ? getenv("VELMOR_TEST_HOSTS") : "");
    if (hosts_.empty()) return;
    ServerProcess::Options o;
    o.defs = {"sample_threads", "sample_threads_async", "sample_streams"};
    o.per_user = true;
    o.max_processes = kSlots;
    local_ = new ServerProcess;
    ASSERT_TRUE(local_->prepare(o));
    ASSERT_TRUE(local_->start()) << local_->log();
    o.max_pvm_processes = kSlots;
    pvm_ = new ServerProcess;
    ASSERT_TRUE(pvm_->prepare(o));
    ASSERT_TRUE(pvm_->start()) << pvm_->log();

    // Each slot starts its task with its client's first call: one client
    // after the other, so every new task belongs to the slot just called.
    // The server without PVM gets its slots' workers the same way: a worker
    // forked while other threads of the server allocate can start with an
    // allocator lock held for ever under the sanitizer runtime (its fork does
    // not make the allocator consistent), and that slot's calls then wait.
    for (int slot = 0; slot < kSlots; slot++) {
      ASSERT_EQ(call(*local_, slot, "sample_threads", {"range_average", "[1,2,6]"}), "3\n") << local_->log();
      std::map<int, std::string> before = worker_tasks();
      std::string first = call(*pvm_, slot, "sample_threads", {"range_average", "[1,2,6]"});
      ASSERT_EQ(first, "3\n") << pvm_->log();
      std::map<int, std::string> after = worker_tasks();
      slot_task_[slot] = new_task(before, after);
      ASSERT_NE(slot_task_[slot], 0) << "slot " << slot << " started no task of its own";
      slot_host_[slot] = after[slot_task_[slot]];
      printf("slot %d (client %s): worker task t%x on host %s\n", slot,
             slot_address(slot).c_str(), slot_task_[slot], slot_host_[slot].c_str());
    }
    fflush(stdout);
  }
  static void TearDownTestSuite() {
    delete pvm_;
    delete local_;
    pvm_ = local_ = nullptr;
  }
  void SetUp() override {
    if (hosts_.empty()) GTEST_SKIP() << "no test hosts: run through test_hosts.sh --hosts 3";
    ASSERT_NE(pvm_, nullptr);
  }

  static std::vector<std::string> hosts_;
  static ServerProcess* local_;
  static ServerProcess* pvm_;
  static int slot_task_[kSlots];
  static std::string slot_host_[kSlots];
};
std::vector<std::string> PvmHosts::hosts_;
ServerProcess* PvmHosts::local_ = nullptr;
ServerProcess* PvmHosts::pvm_ = nullptr;
int PvmHosts::slot_task_[kSlots];
std::string PvmHosts::slot_host_[kSlots];

TEST_F(PvmHosts, SlotsTasksRunOnDifferentHosts) {
  std::set<std::string> used(slot_host_, slot_host_ + kSlots);
  EXPECT_EQ(used.size(), static_cast<size_t>(kSlots));
  std::set<std::string> known = vm_hosts();
  for (const std::string& h : used) EXPECT_TRUE(known.count(h)) << h;
  // At least two of them are hosts other than the server's.
  std::set<std::string> test_hosts(hosts_.begin(), hosts_.end());
  int remote = 0;
  for (const std::string& h : used) remote += test_hosts.count(h);
  EXPECT_GE(remote, 2);
  // Each task's trace names its host.
  std::string trace = read_file(pvm_->root() + "/worker.trace");
  for (int slot = 0; slot < kSlots; slot++) {
    char line[128];
    snprintf(line, sizeof line, "worker task t%x (pid", slot_task_[slot]);
    size_t at = trace.find(line);
    ASSERT_NE(at, std::string::npos) << trace;
    std::string said = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_NE(said.find("on host " + slot_host_[slot] + " "), std::string::npos) << said;
  }
}

TEST_F(PvmHosts, EverySlotGivesTheClientTheLinesOfALocalCall) {
  const std::vector<std::vector<std::string>> calls = {
      {"sample_threads", "range_average", "[1,2,6]"},                          // plain
      {"sample_threads", "reverse_range_returns_array", "[1,2,3]", "3"},       // plain range
      {"sample_threads", "reverse_range_passby_reference", "[1.5,2,3]"},       // outbound range
      {"sample_threads_async", "range_average", "[4,5]"},                      // scalar thread
      {"sample_threads_async", "reverse_range_returns_array", "[1,2,3]", "3"}, // range thread
      {"sample_streams", "show_elapsed", "1", "3"},                            // scalar stream
  };
  // Per-delivery stream of random values: the same shape, two deliveries of five.
  const std::regex two_deliveries("(\\[-?[0-9.e+]+(,-?[0-9.e+]+){4}\\]\n){2}");
  size_t requests_before = count_of(read_file(pvm_->root() + "/worker.trace"), "received a request");

  // The slots work at the same time, each on its own host.
  std::vector<std::future<std::string>> failures;
  for (int slot = 0; slot < kSlots; slot++) {
    failures.push_back(std::async(std::launch::async, [&, slot] {
      std::string report;
      for (const auto& c : calls) {
        std::vector<std::string> args(c.begin() + 1, c.end());
        std::string expected = call(*local_, slot, c[0], args);
        std::string got = call(*pvm_, slot, c[0], args);
        if (expected.empty() || got != expected)
          report += c[0] + "." + c[1] + " on " + slot_host_[slot] + ": expected\n" + expected +
                    "got\n" + got;
      }
      std::string local_values = call(*local_, slot, "sample_streams", {"jumping_array", "1", "2"});
      std::string pvm_values = call(*pvm_, slot, "sample_streams", {"jumping_array", "1", "2"});
      if (!std::regex_match(local_values, two_deliveries) || !std::regex_match(pvm_values, two_deliveries))
        report += "jumping_array on " + slot_host_[slot] + ": local\n" + local_values + "pvm\n" + pvm_values;
      return report;
    }));
  }
  for (int slot = 0; slot < kSlots; slot++)
    EXPECT_EQ(failures[slot].get(), "") << "slot " << slot << "\n" << pvm_->log();

  // Every call ran in a worker task, none in the server.
  size_t requests = count_of(read_file(pvm_->root() + "/worker.trace"), "received a request");
  EXPECT_EQ(requests - requests_before, kSlots * (calls.size() + 1));
  // The slots kept their tasks.
  std::map<int, std::string> tasks = worker_tasks();
  for (int slot = 0; slot < kSlots; slot++) EXPECT_EQ(tasks[slot_task_[slot]], slot_host_[slot]);
}

// Takes a host away: runs after the tests that need every host.
TEST_F(PvmHosts, ALostHostEndsOnlyItsCallsAndItsSlotMovesToAHostStillThere) {
  std::set<std::string> test_hosts(hosts_.begin(), hosts_.end());
  int lost = -1, other = -1;
  for (int slot = 0; slot < kSlots; slot++) {
    if (lost < 0 && test_hosts.count(slot_host_[slot]))
      lost = slot;
    else if (other < 0)
      other = slot;
  }
  ASSERT_GE(lost, 0);
  ASSERT_GE(other, 0);
  const std::string gone = slot_host_[lost];

  // Two long streams in flight on the slot that loses its host: one scalar,
  // one with a connection per delivery.
  std::string trace_path = pvm_->root() + "/worker.trace";
  size_t started = count_of(read_file(trace_path), "received a request sample_streams");
  auto scalar = std::async(std::launch::async, [&] {
    return call(*pvm_, lost, "sample_streams", {"show_elapsed", "1", "600"});
  });
  auto per_delivery = std::async(std::launch::async, [&] {
    return call(*pvm_, lost, "sample_streams", {"jumping_array", "1", "600"});
  });
  for (int i = 0; i < 300 && count_of(read_file(trace_path), "received a request sample_streams") < started + 2; i++)
    usleep(100000);
  usleep(1500000);  // let each deliver a value or so

  printf("%s %s (slot %d's host)\n", cut_links() ? "taking down the link of" : "stopping the PVM daemon of",
         gone.c_str(), lost);
  fflush(stdout);
  ASSERT_TRUE(stop_host_daemon(gone));

  // The other slots go on as if nothing happened.
  EXPECT_EQ(call(*pvm_, other, "sample_threads", {"range_average", "[2,4]"}), "3\n") << pvm_->log();

  // The calls in flight end, with what the client expects at a stream's end.
  std::string scalar_lines = scalar.get();
  std::string delivery_lines = per_delivery.get();
  printf("scalar stream on the lost host gave:\n%sper-delivery stream gave:\n%s", scalar_lines.c_str(),
         delivery_lines.c_str());
  // The scalar stream's values count the seconds up to the loss, then its
  // end text is "#LIB_ERROR"; the per-delivery stream's connections end.
  std::string counted;
  for (int second = 0; counted.size() < scalar_lines.size(); second++)
    counted += std::to_string(second) + "\n";
  std::string values = scalar_lines.substr(0, scalar_lines.rfind("#LIB_ERROR\n"));
  EXPECT_TRUE(std::regex_match(scalar_lines, std::regex("([0-9]+\n)*#LIB_ERROR\n"))) << scalar_lines;
  EXPECT_EQ(counted.substr(0, values.size()), values);
  EXPECT_TRUE(std::regex_match(delivery_lines, std::regex("(\\[-?[0-9.e+]+(,-?[0-9.e+]+){4}\\]\n)*")))
      << delivery_lines;

  // The other slots kept their tasks and hosts.
  std::map<int, std::string> kept = worker_tasks();
  for (int slot = 0; slot < kSlots; slot++) {
    if (slot == lost) continue;
    EXPECT_EQ(kept[slot_task_[slot]], slot_host_[slot]) << "slot " << slot;
  }

  // The lost slot's next call runs on a new task on a host still there.
  EXPECT_EQ(vm_hosts().count(gone), 0u);
  std::map<int, std::string> before = worker_tasks();
  EXPECT_EQ(call(*pvm_, lost, "sample_threads", {"range_average", "[1,2,6]"}), "3\n") << pvm_->log();
  std::map<int, std::string> after = worker_tasks();
  int moved = new_task(before, after);
  ASSERT_NE(moved, 0) << pvm_->log();
  printf("slot %d: new worker task t%x on host %s\n", lost, moved, after[moved].c_str());
  EXPECT_NE(after[moved], gone);
  EXPECT_EQ(after.count(slot_task_[lost]), 0u);
  EXPECT_EQ(call(*pvm_, lost, "sample_threads_async", {"range_average", "[4,5]"}),
            call(*local_, lost, "sample_threads_async", {"range_average", "[4,5]"}));
  EXPECT_EQ(call(*pvm_, other, "sample_threads", {"range_average", "[3]"}), "3\n");
  slot_task_[lost] = moved;
  slot_host_[lost] = after[moved];
}

// After the one above: another host goes while its slot has no call.
TEST_F(PvmHosts, AHostLostWhileItsSlotIsIdleIsLeftBeforeTheSlotsNextCall) {
  if (cut_links()) GTEST_SKIP() << "a cut link is noticed only when a call waits on it";
  std::set<std::string> test_hosts(hosts_.begin(), hosts_.end());
  std::set<std::string> present = vm_hosts();
  int idle = -1;
  for (int slot = 0; slot < kSlots && idle < 0; slot++)
    if (test_hosts.count(slot_host_[slot]) && present.count(slot_host_[slot])) idle = slot;
  ASSERT_GE(idle, 0);
  const std::string gone = slot_host_[idle];
  printf("stopping the PVM daemon of %s (slot %d's host, no call running)\n", gone.c_str(), idle);
  fflush(stdout);
  ASSERT_TRUE(stop_host_daemon(gone));
  for (int i = 0; i < 100 && vm_hosts().count(gone); i++) usleep(100000);
  ASSERT_EQ(vm_hosts().count(gone), 0u);

  // The slot's very next call already runs on a new task elsewhere.
  std::map<int, std::string> before = worker_tasks();
  EXPECT_EQ(call(*pvm_, idle, "sample_threads", {"range_average", "[1,2,6]"}), "3\n") << pvm_->log();
  std::map<int, std::string> after = worker_tasks();
  int moved = new_task(before, after);
  ASSERT_NE(moved, 0) << pvm_->log();
  printf("slot %d: new worker task t%x on host %s\n", idle, moved, after[moved].c_str());
  EXPECT_NE(after[moved], gone);
}

}  // namespace
