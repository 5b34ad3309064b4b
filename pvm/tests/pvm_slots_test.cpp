// Process per user with PVM: each client address is bound to a worker slot,
// and each slot that serves a client has a worker task of its own.
#include <gtest/gtest.h>
#include <pvm3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "e2e_support.h"
#include "pvm_buffers.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Task ids of the pvm_worker tasks that trace into this server's root.
std::set<int> worker_tasks(const ServerProcess& server) {
  std::set<int> tids;
  int ntask = 0;
  pvmtaskinfo* tasks = NULL;
  {
    PvmBufferScope scope;
    if (pvm_tasks(0, &ntask, &tasks) < 0) return tids;
    for (int i = 0; i < ntask; i++) {
      std::string cmdline = read_file("/proc/" + std::to_string(tasks[i].ti_pid) + "/cmdline");
      if (cmdline.find("pvm_worker") != std::string::npos &&
          cmdline.find(server.root() + "/worker.trace") != std::string::npos)
        tids.insert(tasks[i].ti_tid);
    }
  }
  pvm_pthread_exit();
  return tids;
}

TEST(PvmSlots, TwoClientAddressesGetTwoWorkerTasks) {
  ServerProcess server;
  ServerProcess::Options o;
  o.defs = {"sample_threads"};
  o.per_user = true;
  o.max_processes = 2;
  o.max_pvm_processes = 2;
  ASSERT_TRUE(server.prepare(o));
  ASSERT_TRUE(server.start()) << server.log();

  const char* addresses[] = {"127.0.0.1", "127.0.0.2"};
  for (const char* address : addresses) {
    E2EClient client(&server);
    client.session()->set_source_address(address);
    CallPrint average = client.call("sample_threads", "range_average", {"[1,2,6]"});
    ASSERT_TRUE(average.ok) << address << ": " << average.error << "\n" << server.log();
    EXPECT_EQ(average.result, "3") << address;
  }
  EXPECT_EQ(worker_tasks(server).size(), 2u) << server.log();
  // Both calls ran in worker tasks.
  std::string trace = read_file(server.root() + "/worker.trace");
  size_t first = trace.find("received a request sample_threads  range_average");
  ASSERT_NE(first, std::string::npos) << trace;
  EXPECT_NE(trace.find("received a request sample_threads  range_average", first + 1), std::string::npos);

  // The same address again stays with its slot: no third task.
  E2EClient again(&server);
  again.session()->set_source_address("127.0.0.2");
  CallPrint average = again.call("sample_threads", "range_average", {"[4]"});
  ASSERT_TRUE(average.ok) << average.error;
  EXPECT_EQ(average.result, "4");
  EXPECT_EQ(worker_tasks(server).size(), 2u);
}

TEST(PvmSlots, WithoutADaemonTheSlotSaysWhyInOneLine) {
  ServerProcess server;
  ServerProcess::Options o;
  o.defs = {"sample_threads"};
  o.per_user = true;
  o.max_processes = 2;
  o.max_pvm_processes = 1;
  ASSERT_TRUE(server.prepare(o));
  // PVM looks for its daemon in PVM_TMP: an empty directory has none.
  std::string empty = server.root() + "/no-pvmd";
  ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
  setenv("PVM_TMP", empty.c_str(), 1);
  bool started = server.start();
  unsetenv("PVM_TMP");
  ASSERT_TRUE(started) << server.log();

  E2EClient client(&server);
  CallPrint average = client.call("sample_threads", "range_average", {"[1,2,6]"});
  EXPECT_FALSE(average.ok);
  const std::string why = "PVM: no pvmd answers for this user on this host; start it";
  for (int i = 0; i < 100 && server.log().find(why) == std::string::npos; i++) usleep(100000);
  std::string log = server.log();
  size_t at = log.find(why);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_NE(log.substr(at, log.find('\n', at) - at).find("before Velmord"), std::string::npos) << log;
}

}  // namespace
