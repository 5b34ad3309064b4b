// Connections and the process manager end to end, on loopback: the scripted
// server (real start-up, connections and process manager; a small request
// protocol of its own) and a smoke run of the real Velmord.
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "line_transport.h"
#include "test_support.h"

namespace {

using velmor_test::connect_from;
using velmor_test::peer_closed;
using velmor_test::Process;
using velmor_test::process_alive;
using velmor_test::readable;
using velmor_test::recv_line;
using velmor_test::TempDir;

typedef std::map<std::string, std::string> Env;

// A client connection, closed with the object.
class Client {
 public:
  Client(const std::string& from, int port) : sock_(connect_from(from, port)) {}
  ~Client() { close_now(); }
  bool ok() const { return sock_ >= 0; }
  int sock() const { return sock_; }
  void send(const std::string& line) { send_line(sock_, line.c_str()); }
  std::string ask(const std::string& line, int timeout_ms = 15000) {
    send(line);
    return reply(timeout_ms);
  }
  std::string reply(int timeout_ms = 15000) {
    std::string text;
    int rc = recv_line(sock_, &text, timeout_ms);
    return rc < 1 ? "<no reply " + std::to_string(rc) + ">" : text;
  }
  void close_now() {
    if (sock_ >= 0) close(sock_);
    sock_ = -1;
  }

 private:
  int sock_;
};

class ServerTest : public ::testing::Test {
 protected:
  ServerTest() : port_(velmor_test::free_port()) {
    bin_dir_ = dir_.file("bin");
    log_dir_ = dir_.file("log");
    mkdir(bin_dir_.c_str(), 0755);
    mkdir(log_dir_.c_str(), 0755);
    velmor_test::write_file(bin_dir_ + "/system.info", "# not used by these tests\n");
  }

  void start(Env extra, const char* program = VELMORD_SCRIPTED_PATH,
             std::vector<std::string> args = {}) {
    Env e = {{"VELMOR_BIN_DIR", bin_dir_}, {"VELMOR_LOG_DIR", log_dir_}};
    for (const auto& kv : extra) e[kv.first] = kv.second;
    if (args.empty()) args = {"-p", std::to_string(port_), "no_prototype_file.def"};
    server_.reset(new Process(program, args, e, dir_.path()));
  }

  // Waits until the server has n workers; returns them.
  std::vector<pid_t> wait_for_workers(size_t n, int timeout_ms = 15000) {
    std::vector<pid_t> kids;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      kids = server_->children();
      if (kids.size() == n) return kids;
      usleep(50 * 1000);
    }
    return kids;
  }

  // wait_for_workers, then until each runs with its own handlers.
  std::vector<pid_t> wait_for_running_workers(size_t n) {
    std::vector<pid_t> kids = wait_for_workers(n);
    for (int waited = 0; waited < 10000 && count_in_out("calling to create a pvm task") < int(n);
         waited += 50)
      usleep(50 * 1000);
    usleep(200 * 1000);
    return kids;
  }

  int count_in_out(const std::string& text) const {
    std::string out = server_->out();
    int n = 0;
    for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) n++;
    return n;
  }

  TempDir dir_;
  int port_;
  std::string bin_dir_, log_dir_;
  std::unique_ptr<Process> server_;
};

TEST_F(ServerTest, SingleProcessServesWithThreads) {
  start({{"MAX_PROCESSES", "1"}});
  Client slow("127.0.0.1", port_);
  ASSERT_TRUE(slow.ok());
  slow.send("sleep~3000");
  Client quick("127.0.0.1", port_);
  EXPECT_EQ(quick.ask("pid"), std::to_string(server_->pid()));
  // The quick client was served while the slow one still waits.
  EXPECT_FALSE(readable(slow.sock(), 0));
  EXPECT_EQ(slow.reply(), "slept");

  EXPECT_TRUE(server_->children().empty());
  EXPECT_EQ(count_in_out("Max child process set to"), 0);
  EXPECT_EQ(velmor_test::read_file(log_dir_ + "/velmor.pid"), std::to_string(server_->pid()));
}

TEST_F(ServerTest, WithoutThreadsOneConversationAtATime) {
  start({{"MAX_PROCESSES", "1"}, {"MAX_THREADS_PER_PROCESS", "0"}});
  Client first("127.0.0.1", port_);
  ASSERT_EQ(first.ask("pid"), std::to_string(server_->pid()));
  Client second("127.0.0.1", port_);
  second.send("echo~second");
  EXPECT_FALSE(readable(second.sock(), 1000));
  first.send("__CLOSE__");
  EXPECT_TRUE(peer_closed(first.sock()));
  EXPECT_EQ(second.reply(), "second");
  EXPECT_TRUE(server_->wait_for_err("Multi-threading is disabled\n", 5000));
}

TEST_F(ServerTest, ConversationEdges) {
  start({{"MAX_PROCESSES", "1"}});
  {
    Client gone("127.0.0.2", port_);
    ASSERT_TRUE(gone.ok());
  }
  EXPECT_TRUE(server_->wait_for_err(
      "Received 0 bytes, while handling a client (127.0.0.2)'s request, closing socket.\n", 10000))
      << server_->err();

  Client c("127.0.0.1", port_);
  // A request line is cut to its first 1023 characters.
  EXPECT_EQ(c.ask("echo~" + std::string(2000, 'q')), std::string(1018, 'q'));
  EXPECT_EQ(c.ask("echo~still in step"), "still in step");
  // A completed conversation is closed by the server.
  EXPECT_EQ(c.ask("complete"), "completed");
  EXPECT_TRUE(peer_closed(c.sock()));
}

// A stop request cancels the connection thread inside its call: the
// conversation still ends, socket closed, and the worker serves on.
TEST_F(ServerTest, CancelledConnectionThreadEndsItsConversation) {
  start({{"MAX_PROCESSES", "1"}});
  Client c("127.0.0.1", port_);
  ASSERT_EQ(c.ask("echo~before"), "before");
  c.send("cancel");
  EXPECT_TRUE(peer_closed(c.sock()));
  Client again("127.0.0.1", port_);
  EXPECT_EQ(again.ask("echo~after"), "after");
}

// A finished conversation's thread waits for the next one: some of a few
// conversations in a row are served by a thread that served an earlier one.
TEST_F(ServerTest, PoolThreadsServeOneConversationAfterAnother) {
  start({{"MAX_PROCESSES", "1"}});
  std::set<std::string> seen;
  bool reused = false;
  for (int i = 0; i < 20 && !reused; i++) {
    Client c("127.0.0.1", port_);
    std::string tid = c.ask("tid");
    ASSERT_GT(atol(tid.c_str()), 0) << tid;
    reused = !seen.insert(tid).second;
    EXPECT_EQ(c.ask("complete"), "completed");
    EXPECT_TRUE(peer_closed(c.sock()));
    usleep(100 * 1000);  // lets the thread reach its wait for the next conversation
  }
  EXPECT_TRUE(reused);
}

// A stop that reached a call too late stays pending on its thread; the next
// conversations must not inherit it and end unanswered.
TEST_F(ServerTest, LateStopDoesNotReachTheNextConversation) {
  start({{"MAX_PROCESSES", "1"}});
  {
    Client c("127.0.0.1", port_);
    ASSERT_EQ(c.ask("late_cancel"), "pending");
    EXPECT_EQ(c.ask("complete"), "completed");
    EXPECT_TRUE(peer_closed(c.sock()));
  }
  for (int i = 0; i < 5; i++) {
    usleep(100 * 1000);
    Client c("127.0.0.1", port_);
    EXPECT_EQ(c.ask("echo~served " + std::to_string(i)), "served " + std::to_string(i));
  }
}

// Alone at the socket, the thread that accepted a connection serves it, so
// another one must be accepting by then. Accepting goes on while every
// connection thread is busy and after stops cancelled connection threads,
// in one process and in workers taking turns.
TEST_F(ServerTest, AcceptingOutlivesBusyAndCancelledConversationThreads) {
  for (size_t kids : {1u, 2u}) {
    SCOPED_TRACE("MAX_PROCESSES " + std::to_string(kids));
    port_ = velmor_test::free_port();
    start({{"MAX_PROCESSES", std::to_string(kids)}});
    if (kids == 2) {
      ASSERT_EQ(wait_for_workers(2).size(), 2u);
    }
    // A stopped conversation and a late stop in every worker.
    std::set<std::string> cancelled_in;
    for (int i = 0; i < 400 && cancelled_in.size() < 2 * kids; i++) {
      Client c("127.0.0.1", port_);
      std::string pid = c.ask("pid");
      bool late = cancelled_in.insert(pid + " late").second;
      if (!late) cancelled_in.insert(pid + " at once");
      if (late) {
        EXPECT_EQ(c.ask("late_cancel"), "pending");
        EXPECT_EQ(c.ask("complete"), "completed");
      } else {
        c.send("cancel");
      }
      EXPECT_TRUE(peer_closed(c.sock()));
    }
    ASSERT_EQ(cancelled_in.size(), 2 * kids);
    // Conversations that stay open while the next ones are accepted.
    std::vector<std::unique_ptr<Client>> open;
    std::set<std::string> served_by;
    for (int i = 0; i < 400 && (open.size() < 6 || served_by.size() < kids); i++) {
      open.emplace_back(new Client("127.0.0.1", port_));
      std::string pid = open.back()->ask("pid");
      ASSERT_GT(atoi(pid.c_str()), 0) << pid << "\n" << server_->err();
      served_by.insert(pid);
    }
    EXPECT_EQ(served_by.size(), kids);
    for (size_t i = 0; i < open.size(); i++)
      EXPECT_EQ(open[i]->ask("echo~" + std::to_string(i)), std::to_string(i));
    open.clear();
    server_.reset();
  }
}

// A client that goes away while the worker writes must end only its own
// conversation, in one process as in a forked worker.
TEST_F(ServerTest, ClientClosingMidReplyLeavesWorkerAlive) {
  for (const char* kids : {"1", "2"}) {
    SCOPED_TRACE(std::string("MAX_PROCESSES ") + kids);
    port_ = velmor_test::free_port();
    start({{"MAX_PROCESSES", kids}});
    if (std::string(kids) == "2") wait_for_workers(2);
    pid_t worker;
    {
      Client c("127.0.0.1", port_);
      worker = atoi(c.ask("pid").c_str());
      ASSERT_GT(worker, 0);
      c.send("flood~5000");
      EXPECT_EQ(c.reply().size(), 1000u);
    }
    EXPECT_TRUE(server_->wait_for_err("Error in HandleClient call\n", 15000)) << server_->err();
    EXPECT_TRUE(process_alive(worker));
    Client again("127.0.0.1", port_);
    EXPECT_EQ(again.ask("echo~alive"), "alive");
    EXPECT_EQ(count_in_out("oops..crashing"), 0);
    EXPECT_TRUE(process_alive(worker));
    server_.reset();
  }
}

TEST_F(ServerTest, PoolWorkersServeConcurrentConnections) {
  start({{"MAX_PROCESSES", "2"}, {"MAX_THREADS_PER_PROCESS", "0"}});
  std::vector<pid_t> workers = wait_for_workers(2);
  ASSERT_EQ(workers.size(), 2u);
  EXPECT_TRUE(server_->wait_for_out("Max child process set to 2\n", 5000));
  // Each worker serves one conversation at a time, so the second open
  // conversation must be the other worker's.
  Client a("127.0.0.1", port_);
  Client b("127.0.0.1", port_);
  pid_t pa = atoi(a.ask("pid").c_str());
  pid_t pb = atoi(b.ask("pid").c_str());
  EXPECT_NE(pa, pb);
  EXPECT_EQ(std::set<pid_t>({pa, pb}), std::set<pid_t>(workers.begin(), workers.end()));
}

TEST_F(ServerTest, Sigusr1RestartsWorkers) {
  start({{"MAX_PROCESSES", "3"}});
  std::vector<pid_t> old = wait_for_running_workers(3);
  ASSERT_EQ(old.size(), 3u);
  kill(server_->pid(), SIGUSR1);
  std::vector<pid_t> fresh;
  for (int waited = 0; waited < 10000; waited += 50) {
    fresh = server_->children();
    bool disjoint = std::none_of(fresh.begin(), fresh.end(), [&](pid_t p) {
      return std::find(old.begin(), old.end(), p) != old.end();
    });
    if (fresh.size() == 3 && disjoint) break;
    usleep(50 * 1000);
  }
  ASSERT_EQ(fresh.size(), 3u);
  Client c("127.0.0.1", port_);
  pid_t serving = atoi(c.ask("pid").c_str());
  EXPECT_NE(std::find(fresh.begin(), fresh.end(), serving), fresh.end());
  // A restart asked for is no crash.
  EXPECT_EQ(count_in_out("oops..crashing"), 0) << server_->out();
}

// A worker that crashes still says so.
TEST_F(ServerTest, CrashingWorkerSaysSo) {
  start({{"MAX_PROCESSES", "2"}});
  std::vector<pid_t> workers = wait_for_running_workers(2);
  ASSERT_EQ(workers.size(), 2u);
  kill(workers[0], SIGABRT);
  EXPECT_TRUE(server_->wait_for_out(
      "oops..crashing...(on signal 6, pid: " + std::to_string(workers[0]) + ")\n", 10000))
      << server_->out();
}

// A server killed outright takes its workers with it, so that a new server
// can bind the port at once.
TEST_F(ServerTest, KilledServerLeavesThePortFree) {
  start({{"MAX_PROCESSES", "2"}});
  std::vector<pid_t> workers = wait_for_workers(2);
  ASSERT_EQ(workers.size(), 2u);
  {
    Client c("127.0.0.1", port_);
    ASSERT_GT(atoi(c.ask("pid").c_str()), 0);
  }
  kill(server_->pid(), SIGKILL);
  ASSERT_EQ(server_->wait_exit(10000), 128 + SIGKILL);
  for (pid_t w : workers) {
    for (int waited = 0; waited < 2000 && process_alive(w); waited += 20) usleep(20 * 1000);
    EXPECT_FALSE(process_alive(w)) << w;
  }
  start({{"MAX_PROCESSES", "2"}});
  Client c("127.0.0.1", port_);
  pid_t serving = atoi(c.ask("pid").c_str());
  EXPECT_GT(serving, 0) << server_->err();
  EXPECT_EQ(std::find(workers.begin(), workers.end(), serving), workers.end());
  EXPECT_EQ(server_->err().find("bind () call failed"), std::string::npos);
}

TEST_F(ServerTest, KilledAcceptingWorkerFreesTheLock) {
  start({{"MAX_PROCESSES", "2"}});
  std::vector<pid_t> old = wait_for_workers(2);
  ASSERT_EQ(old.size(), 2u);
  usleep(300 * 1000);  // the first worker takes the lock as it starts
  // Killing both kills the one waiting in accept, whichever it is.
  for (pid_t p : old) kill(p, SIGKILL);
  bool freed = false;
  for (pid_t p : old)
    freed = freed || server_->wait_for_out(
                         "Lock held by " + std::to_string(p) + ", a zombie process, freeing it!\n",
                         p == old.back() ? 10000 : 3000);
  EXPECT_TRUE(freed) << server_->out();
  for (pid_t p : old)
    for (int waited = 0; waited < 10000 && process_alive(p); waited += 10) usleep(10 * 1000);
  Client c("127.0.0.1", port_);
  std::string answer = c.ask("pid");
  pid_t serving = atoi(answer.c_str());
  EXPECT_GT(serving, 0) << answer << "\n" << server_->out() << server_->err();
  EXPECT_EQ(std::find(old.begin(), old.end(), serving), old.end());
}

// A worker waiting for the accept turn gets it when the holder has
// accepted: connections one after the other reach both workers.
TEST_F(ServerTest, PoolWorkersTakeTurnsAtAccept) {
  start({{"MAX_PROCESSES", "2"}});
  std::vector<pid_t> workers = wait_for_workers(2);
  ASSERT_EQ(workers.size(), 2u);
  // Some connections may come before the second worker reaches its loop.
  std::map<std::string, int> served;
  for (int i = 0; i < 400 && served.size() < 2; i++) {
    Client c("127.0.0.1", port_);
    served[c.ask("pid")]++;
  }
  EXPECT_EQ(served.size(), 2u);
  for (pid_t w : workers) EXPECT_GT(served[std::to_string(w)], 0) << w;
}

TEST_F(ServerTest, SighupEndsWorkersAndServer) {
  for (const char* model : {"PROCESS_POOL", "PROCESS_PER_USER"}) {
    SCOPED_TRACE(model);
    port_ = velmor_test::free_port();
    start({{"MAX_PROCESSES", "2"}, {"EXECUTION_MODEL", model}});
    {
      Client c("127.0.0.1", port_);
      ASSERT_GT(atoi(c.ask("pid").c_str()), 0);
    }
    // A worker forked by a proxy thread is listed under that thread's task,
    // which may be ending just as the list is read: read again.
    std::vector<pid_t> workers;
    for (int waited = 0; waited < 5000 && workers.empty(); waited += 50) {
      workers = server_->children();
      if (workers.empty()) usleep(50 * 1000);
    }
    ASSERT_FALSE(workers.empty());
    kill(server_->pid(), SIGHUP);
    EXPECT_EQ(server_->wait_exit(10000), 0);
    // The server ended after its workers, and a normal stop is no crash.
    for (pid_t w : workers) EXPECT_FALSE(process_alive(w)) << w;
    EXPECT_EQ(count_in_out("oops..crashing"), 0) << server_->out();
  }
}

TEST_F(ServerTest, PoolFilterRejectsClients) {
  start({{"MAX_PROCESSES", "1"}, {"ALLOW_CLIENTS", "10.0.0.0/255.0.0.0"}});
  Client outsider("127.0.0.3", port_);
  ASSERT_TRUE(outsider.ok());
  EXPECT_TRUE(peer_closed(outsider.sock()));
  EXPECT_TRUE(server_->wait_for_err("Rejected: connection request from 127.0.0.3\n", 5000));
  Client local("127.0.0.1", port_);
  EXPECT_EQ(local.ask("echo~admitted"), "admitted");
}

// Opens n idle connections (raising this process's descriptor limit as far
// as it goes), so that the server's next connections get descriptors past
// 1023, beyond what a select set can hold.
std::vector<std::unique_ptr<Client>> idle_connections(int port, int n) {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < n; i++) {
    clients.emplace_back(new Client("127.0.0.1", port));
    EXPECT_TRUE(clients.back()->ok()) << i;
    if (!clients.back()->ok()) break;
  }
  return clients;
}

TEST_F(ServerTest, ServesPastDescriptor1023) {
  start({{"MAX_PROCESSES", "1"}});
  std::vector<std::unique_ptr<Client>> idle = idle_connections(port_, 1100);
  ASSERT_EQ(idle.size(), 1100u);
  for (size_t i = 1020; i < 1100; i += 7) {
    std::string text = "connection " + std::to_string(i);
    EXPECT_EQ(idle[i]->ask("echo~" + text), text);
  }
  Client fresh("127.0.0.1", port_);
  EXPECT_EQ(fresh.ask("echo~fresh"), "fresh");
}

// The models and process counts that accept differently.
const Env kAcceptingSetups[] = {
    {{"MAX_PROCESSES", "1"}},
    {{"MAX_PROCESSES", "2"}},
    {{"MAX_PROCESSES", "2"}, {"EXECUTION_MODEL", "PROCESS_PER_USER"}},
};

std::string setup_name(const Env& env) {
  std::string name;
  for (const auto& kv : env) name += kv.first + "=" + kv.second + " ";
  return name;
}

// CPU time (user and system) of a process so far, in clock ticks.
long cpu_ticks(pid_t pid) {
  std::string stat = velmor_test::read_file("/proc/" + std::to_string(pid) + "/stat");
  size_t at = stat.rfind(')');
  if (at == std::string::npos) return -1;
  std::vector<std::string> fields;
  for (size_t from = at + 2; from < stat.size();) {
    size_t end = stat.find(' ', from);
    if (end == std::string::npos) end = stat.size();
    fields.push_back(stat.substr(from, end - from));
    from = end + 1;
  }
  // Fields 14 and 15 of the file; the list starts at field 3.
  return fields.size() > 12 ? atol(fields[11].c_str()) + atol(fields[12].c_str()) : -1;
}

// Out of descriptors, accepting pauses instead of spinning, writes little,
// and serves again once descriptors are free.
TEST_F(ServerTest, OutOfDescriptorsAcceptPausesAndRecovers) {
  for (const Env& setup : {kAcceptingSetups[0], kAcceptingSetups[2]}) {
    SCOPED_TRACE(setup_name(setup));
    port_ = velmor_test::free_port();
    // A limit the server cannot raise.
    start(setup, "/usr/bin/prlimit",
          {"--nofile=48:48", "--", VELMORD_SCRIPTED_PATH, "-p", std::to_string(port_),
           "no_prototype_file.def"});
    {
      Client first("127.0.0.1", port_);
      ASSERT_EQ(first.ask("echo~up"), "up") << server_->err();
    }
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 80; i++) idle.emplace_back(new Client("127.0.0.1", port_));
    ASSERT_TRUE(server_->wait_for_err("Error While Accepting clients connection \n", 10000));
    long before = cpu_ticks(server_->pid());
    size_t log_before = server_->err().size();
    const int kSeconds = 3;
    sleep(kSeconds);
    long used = cpu_ticks(server_->pid()) - before;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) * kSeconds / 3) << "CPU ticks while out of descriptors";
    // A report a second, each of a few lines.
    EXPECT_LT(server_->err().size() - log_before, 2000u) << server_->err().substr(log_before, 2000);
    idle.clear();
    Client again("127.0.0.1", port_);
    EXPECT_EQ(again.ask("echo~served again", 20000), "served again") << server_->err().substr(0, 3000);
    server_.reset();
  }
}

// Threads of a process, from /proc.
int thread_count(pid_t pid) {
  std::string status = velmor_test::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
}

// Connections that have not sent a whole request line cost no thread: a
// crowd of them beside working conversations, in each model.
TEST_F(ServerTest, SilentConnectionsCostNoThread) {
  for (const Env& setup : kAcceptingSetups) {
    SCOPED_TRACE(setup_name(setup));
    port_ = velmor_test::free_port();
    start(setup);
    std::vector<std::unique_ptr<Client>> silent = idle_connections(port_, 3000);
    ASSERT_EQ(silent.size(), 3000u);
    Client cut("127.0.0.1", port_);
    ::send(cut.sock(), "echo~half", 9, MSG_NOSIGNAL);  // a line without its end
    Client c("127.0.0.1", port_);
    pid_t serving = atoi(c.ask("pid").c_str());
    ASSERT_GT(serving, 0);
    EXPECT_EQ(c.ask("echo~served"), "served");
    EXPECT_LT(thread_count(serving), 16);
    EXPECT_LT(thread_count(server_->pid()), 16);
    c.close_now();
    // A silent connection that speaks at last is served.
    EXPECT_EQ(silent[1234]->ask("echo~late"), "late");
    server_.reset();
  }
}

// MAX_THREADS_PER_PROCESS bounds the threads serving conversations: the
// conversations beyond it wait their turn, and are served in order as
// earlier ones end.
TEST_F(ServerTest, ConversationsBeyondTheThreadLimitWaitTheirTurn) {
  start({{"MAX_PROCESSES", "1"}, {"MAX_THREADS_PER_PROCESS", "3"}});
  std::vector<std::unique_ptr<Client>> open;
  for (int i = 0; i < 3; i++) {
    open.emplace_back(new Client("127.0.0.1", port_));
    EXPECT_EQ(open.back()->ask("echo~" + std::to_string(i)), std::to_string(i));
  }
  std::vector<std::unique_ptr<Client>> queued;
  for (int i = 0; i < 2; i++) {
    queued.emplace_back(new Client("127.0.0.1", port_));
    queued.back()->send("echo~queued " + std::to_string(i));
  }
  EXPECT_FALSE(readable(queued[0]->sock(), 1000));
  EXPECT_LE(thread_count(server_->pid()), 3 + 4);
  for (int i = 0; i < 2; i++) {
    open[i]->send("complete");
    EXPECT_EQ(open[i]->reply(), "completed");
    EXPECT_EQ(queued[i]->reply(), "queued " + std::to_string(i));
  }
  EXPECT_TRUE(process_alive(server_->pid()));
}

// A server that cannot create threads (the service's task limit, here a
// process limit of its user) reports it, serves what it can, and serves the
// waiting conversations once threads are free again.
TEST_F(ServerTest, ThreadLimitIsSurvived) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the server as another user";
  for (const std::string& d : {dir_.path(), bin_dir_, log_dir_}) chmod(d.c_str(), 0777);
  start({{"MAX_PROCESSES", "1"}}, "/usr/bin/setpriv",
        {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/prlimit", "--nproc=24",
         "--", VELMORD_SCRIPTED_PATH, "-p", std::to_string(port_), "no_prototype_file.def"});
  std::vector<std::unique_ptr<Client>> open;
  int answered = 0;
  for (int i = 0; i < 40; i++) {
    open.emplace_back(new Client("127.0.0.1", port_));
    open.back()->send("echo~" + std::to_string(i));
    if (open.back()->reply(i < 10 ? 15000 : 500) == std::to_string(i)) answered++;
  }
  EXPECT_GE(answered, 10);
  EXPECT_LT(answered, 40);
  EXPECT_TRUE(server_->wait_for_err("Error creating a thread, error code: EAGAIN", 10000))
      << server_->err();
  // Ending the answered conversations frees threads for the waiting ones.
  for (int i = 0; i < 40; i++) {
    if (i >= answered) {
      EXPECT_EQ(open[i]->reply(20000), std::to_string(i));
    }
    open[i]->send("complete");
    EXPECT_EQ(open[i]->reply(20000), "completed") << i;
  }
  EXPECT_TRUE(process_alive(server_->pid()));
  Client fresh("127.0.0.1", port_);
  EXPECT_EQ(fresh.ask("echo~fresh"), "fresh");
}

class PerUserTest : public ServerTest {
 protected:
  void SetUp() override {
    // The filter admits every loopback client but 127.0.0.9.
    start({{"MAX_PROCESSES", "2"}, {"EXECUTION_MODEL", "PROCESS_PER_USER"},
           {"ALLOW_CLIENTS", "127.0.0.0/255.255.255.248"}});
  }

  // One conversation: the serving worker's pid, then the proxy's hand-off.
  pid_t worker_of(const std::string& from) {
    Client c(from, port_);
    pid_t pid = atoi(c.ask("pid").c_str());
    c.send("__CLOSE__");
    EXPECT_TRUE(peer_closed(c.sock()));
    return pid;
  }
};

TEST_F(PerUserTest, BindsAddressesToSlots) {
  pid_t first = worker_of("127.0.0.1");
  ASSERT_GT(first, 0);
  EXPECT_TRUE(server_->wait_for_out("connection from a new client (127.0.0.1), accepted!\n", 5000));
  pid_t second = worker_of("127.0.0.2");
  ASSERT_GT(second, 0);
  EXPECT_NE(first, second);

  // A third address finds no slot once its first request line arrives.
  Client third("127.0.0.3", port_);
  ASSERT_TRUE(third.ok());
  third.send("pid");
  EXPECT_TRUE(peer_closed(third.sock()));
  EXPECT_TRUE(server_->wait_for_err("127.0.0.3", 5000)) << server_->err();

  EXPECT_EQ(worker_of("127.0.0.1"), first);
  EXPECT_EQ(worker_of("127.0.0.2"), second);
}

TEST_F(PerUserTest, OneConversationPerSlotAtATime) {
  Client a("127.0.0.2", port_);
  ASSERT_GT(atoi(a.ask("pid").c_str()), 0);
  Client b("127.0.0.2", port_);
  b.send("echo~second");
  EXPECT_FALSE(readable(b.sock(), 1000));
  EXPECT_EQ(a.ask("echo~first"), "first");
  a.send("__CLOSE__");
  EXPECT_TRUE(peer_closed(a.sock()));
  EXPECT_EQ(b.reply(), "second");
}

// Connections that never send a whole line (a port scan, a silent client, a
// client that leaves mid-line) bind no slot and hold up nobody; a filtered
// address is rejected before anything is bound.
TEST_F(PerUserTest, OnlyAWholeRequestLineBindsASlotOrTakesItsTurn) {
  std::vector<std::unique_ptr<Client>> silent;
  for (const char* from : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.2"})
    silent.emplace_back(new Client(from, port_));
  Client cut("127.0.0.6", port_);
  ::send(cut.sock(), "pid", 3, MSG_NOSIGNAL);  // no NUL: not a line
  cut.close_now();
  Client rejected("127.0.0.9", port_);
  EXPECT_TRUE(peer_closed(rejected.sock()));
  EXPECT_TRUE(server_->wait_for_err("Rejected: connection request from 127.0.0.9\n", 5000));

  // Two slots, both still free for the two clients that talk; the silent
  // connection of 127.0.0.2 does not hold up its address.
  pid_t first = worker_of("127.0.0.1");
  pid_t second = worker_of("127.0.0.2");
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
  EXPECT_NE(first, second);
  for (const char* never : {"127.0.0.3", "127.0.0.4", "127.0.0.5", "127.0.0.6", "127.0.0.9"})
    EXPECT_EQ(server_->out().find(std::string("new client (") + never), std::string::npos) << never;
}

// A client that leaves mid-conversation (or mid-line) ends only its own
// conversation: the next connection of the address is served as if nothing
// had happened.
TEST_F(PerUserTest, ClientLeavingMidConversationEndsOnlyItsOwn) {
  {
    Client a("127.0.0.1", port_);
    EXPECT_EQ(a.ask("echo~one"), "one");
    a.send("echo~two");
    a.close_now();  // the worker's reply finds nobody
  }
  {
    Client b("127.0.0.1", port_);
    EXPECT_EQ(b.ask("echo~three"), "three");
    ::send(b.sock(), "echo~fou", 8, MSG_NOSIGNAL);  // cut off: never a request
  }
  Client c("127.0.0.1", port_);
  EXPECT_EQ(c.ask("echo~five"), "five");
  EXPECT_EQ(c.ask("echo~__DONE__ is my text"), "__DONE__ is my text");
  c.send("__CLOSE__");
  EXPECT_TRUE(peer_closed(c.sock()));
}

// A worker stopped in the middle of a conversation (as by a user function
// that never returns) is replaced without waiting for its slot's turn: the
// connection queued behind it is served by the new worker, once, and one
// whose client left while it waited runs nothing.
TEST_F(PerUserTest, StoppedWorkerIsReplacedAndItsQueueServedOnce) {
  Client holder("127.0.0.1", port_);
  pid_t stopped = atoi(holder.ask("pid").c_str());
  ASSERT_GT(stopped, 0);
  Client gone("127.0.0.1", port_);
  gone.send("mark~gone");
  Client waiting("127.0.0.1", port_);
  waiting.send("mark~served");
  EXPECT_FALSE(readable(waiting.sock(), 300));  // queued behind the holder
  gone.close_now();
  usleep(200 * 1000);
  kill(stopped, SIGSTOP);
  EXPECT_EQ(waiting.reply(), "marked");
  pid_t replacement = atoi(waiting.ask("pid").c_str());
  EXPECT_GT(replacement, 0);
  EXPECT_NE(replacement, stopped);
  EXPECT_TRUE(peer_closed(holder.sock()));  // its worker is gone
  for (int waited = 0; waited < 5000 && process_alive(stopped); waited += 50) usleep(50 * 1000);
  EXPECT_FALSE(process_alive(stopped));
  waiting.send("__CLOSE__");
  EXPECT_TRUE(peer_closed(waiting.sock()));
  EXPECT_EQ(velmor_test::read_file(log_dir_ + "/marks"), "served\n");
}

// Many addresses, each with many connections at once: every answer is the
// right one, and each address is served by its own worker throughout.
TEST_F(ServerTest, PerUserManyAddressesAndConnectionsAtOnce) {
  start({{"MAX_PROCESSES", "4"}, {"EXECUTION_MODEL", "PROCESS_PER_USER"}});
  const int kAddresses = 4, kPerAddress = 8;
  std::vector<std::string> wrong;
  std::map<std::string, std::set<pid_t>> workers;
  std::mutex lock;
  std::vector<std::thread> clients;
  for (int a = 1; a <= kAddresses; a++) {
    for (int i = 0; i < kPerAddress; i++) {
      clients.emplace_back([&, a, i] {
        std::string from = "127.0.0." + std::to_string(a);
        std::string text = from + " #" + std::to_string(i);
        Client c(from, port_);
        std::string first = c.ask("echo~" + text, 30000);
        pid_t pid = atoi(c.ask("pid", 30000).c_str());
        std::string second = c.ask("echo~again " + text, 30000);
        c.send("__CLOSE__");
        bool closed = peer_closed(c.sock(), 30000);
        std::lock_guard<std::mutex> hold(lock);
        if (first != text || second != "again " + text || !closed)
          wrong.push_back(text + ": " + first + " / " + second);
        workers[from].insert(pid);
      });
    }
  }
  for (std::thread& t : clients) t.join();
  EXPECT_TRUE(wrong.empty()) << ::testing::PrintToString(wrong);
  std::set<pid_t> all;
  for (const auto& w : workers) {
    EXPECT_EQ(w.second.size(), 1u) << w.first;
    all.insert(w.second.begin(), w.second.end());
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kAddresses));
}

TEST_F(PerUserTest, ServesPastDescriptor1023) {
  std::vector<std::unique_ptr<Client>> idle = idle_connections(port_, 1100);
  ASSERT_EQ(idle.size(), 1100u);
  // Waiting for first lines costs no thread per connection.
  EXPECT_EQ(velmor_test::thread_count(server_->pid()), 1);
  // One conversation at a time per slot: each ends before the next.
  for (size_t i = 1020; i < 1100; i += 7) {
    std::string text = "connection " + std::to_string(i);
    EXPECT_EQ(idle[i]->ask("echo~" + text), text);
    idle[i]->send("__CLOSE__");
    EXPECT_TRUE(peer_closed(idle[i]->sock()));
  }
}

TEST_F(PerUserTest, CrashedWorkerIsStartedAgain) {
  pid_t first = worker_of("127.0.0.1");
  ASSERT_GT(first, 0);
  kill(first, SIGKILL);
  for (int waited = 0; waited < 5000 && process_alive(first); waited += 50) usleep(50 * 1000);
  pid_t again = worker_of("127.0.0.1");
  EXPECT_GT(again, 0);
  EXPECT_NE(again, first);
  EXPECT_TRUE(server_->wait_for_err("Server crashed... starting a new server..\n", 5000));
}

TEST_F(ServerTest, RealVelmordListensAndWritesItsPidFile) {
  // Two -p options: the last one wins.
  start({{"MAX_PROCESSES", "1"}}, VELMORD_PATH,
        {"-p", "1", "-p", std::to_string(port_), "no_prototype_file.def"});
  Client c("127.0.0.1", port_);
  ASSERT_TRUE(c.ok());
  // Nothing is loaded: the catalogue is empty, and __CLOSE__ ends the conversation.
  EXPECT_EQ(c.ask("givefm~1"), "__OVER__");
  c.send("__CLOSE__");
  EXPECT_TRUE(peer_closed(c.sock()));
  EXPECT_EQ(velmor_test::read_file(log_dir_ + "/velmor.pid"), std::to_string(server_->pid()));
  EXPECT_TRUE(server_->wait_for_err("file (no_prototype_file.def) not found", 5000));

  // A second server on the same port cannot bind: message and a failure status.
  Process second(VELMORD_PATH, {"-p", std::to_string(port_), "x.def"},
                 {{"VELMOR_BIN_DIR", bin_dir_}, {"VELMOR_LOG_DIR", log_dir_},
                  {"MAX_PROCESSES", "1"}},
                 dir_.path());
  EXPECT_EQ(second.wait_exit(30000), 1);
  EXPECT_NE(second.err().find("Error: setup_and_startup_children, bind () call failed\n"),
            std::string::npos);
}

// The real request protocol in the per-user model: __CLOSE__ ends each
// conversation, and the same worker serves the client's next connection.
TEST_F(ServerTest, RealVelmordPerUserHandOff) {
  start({{"MAX_PROCESSES", "2"}, {"EXECUTION_MODEL", "PROCESS_PER_USER"}}, VELMORD_PATH);
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    Client c("127.0.0.2", port_);
    EXPECT_EQ(c.ask("givefm~1"), "__OVER__");
    c.send("__CLOSE__");
    EXPECT_TRUE(peer_closed(c.sock()));
  }
  EXPECT_EQ(server_->children().size(), 1u);
}

}  // namespace
