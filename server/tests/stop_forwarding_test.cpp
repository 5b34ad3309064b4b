// Stop requests passed on between processes: this test process plays the
// server, forked children play its workers, each with its stop listener and
// one running call. A worker is reached by its own pid, whether or not it
// holds a slot: after a reload a slot's old worker still runs calls.
#include "stop_forwarding.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "data_exchange.h"
#include "process_manager.h"
#include "tarrow.h"

namespace {

struct Call {
  int report = -1;
  const char* key = nullptr;  // the key to run under; null: the call's own
  DataExchange de;
};

void report_stop(void* p) {
  Call* call = static_cast<Call*>(p);
  static_cast<ThreadStatusNode*>(call->de.GetThreadStatusNode())->terminated();
  ssize_t ignored = write(call->report, "stopped\n", 8);
  (void)ignored;
}

void* run_call(void* p) {
  Call* call = static_cast<Call*>(p);
  call->de.SetFunctionKey("mod_call");
  if (call->key != nullptr) snprintf(call->de.GetFunctionKey(), CALLBACK_NAME_SIZE, "%s", call->key);
  call->de.SetThreadStatusNode(FS.thread_status_manager.get_thread_status_node(&call->de));
  pthread_cleanup_push(report_stop, call);
  std::string ready = std::string(call->de.GetFunctionKey()) + "\n";
  ssize_t ignored = write(call->report, ready.data(), ready.size());
  (void)ignored;
  for (;;) pause();  // until a stop cancels it
  pthread_cleanup_pop(0);
  return nullptr;
}

// A child process serving as a worker would: listener first, then a call.
// It reports its call's key, then "stopped" when a stop ends the call; the
// destructor kills it by pid.
class PlayedWorker {
 public:
  explicit PlayedWorker(const char* key = nullptr) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      start_stop_listener();
      Call* call = new Call();
      call->report = fds[1];
      call->key = key;
      pthread_t thread;
      if (pthread_create(&thread, nullptr, run_call, call) != 0) _exit(1);
      sleep(60);  // killed by the test long before
      _exit(0);
    }
    close(fds[1]);
    report_ = fds[0];
    if (pid_ > 0) key_ = line(10000);
  }
  ~PlayedWorker() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (report_ >= 0) close(report_);
  }
  pid_t pid() const { return pid_; }
  const std::string& key() const { return key_; }
  bool stopped(int timeout_ms) { return line(timeout_ms) == "stopped"; }

 private:
  // The next line of the report, without its newline; "" on time-out.
  std::string line(int timeout_ms) {
    std::string text;
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
      pollfd p = {report_, POLLIN, 0};
      if (poll(&p, 1, 50) != 1) continue;
      char c;
      if (read(report_, &c, 1) != 1) return "";
      if (c == '\n') return text;
      text += c;
    }
    return "";
  }

  pid_t pid_ = -1;
  int report_ = -1;
  std::string key_;
};

class StopForwardingTest : public ::testing::Test {
 protected:
  StopForwardingTest() {
    note_server_process();
    saved_children_ = ProcessManager::children;
    saved_max_kids_ = ProcessManager::max_kids;
    ProcessManager::children = slots_;
    ProcessManager::max_kids = 1;
  }
  ~StopForwardingTest() override {
    ProcessManager::children = saved_children_;
    ProcessManager::max_kids = saved_max_kids_;
  }
  void occupy_slot(pid_t pid) {
    slots_[0].pid = pid;
    slots_[0].status = CHILD_RUNNING;
  }

  Child slots_[1] = {};
  Child* saved_children_;
  int saved_max_kids_;
};

// Pool: a stop goes to the worker its key names, found by no table.
TEST_F(StopForwardingTest, ForwardReachesTheWorkerTheKeyNames) {
  PlayedWorker worker;
  ASSERT_GT(worker.pid(), 0);
  ASSERT_NE(worker.key(), "");
  // Anybody on the host may send to the socket: what is no record is ignored.
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  int n = snprintf(addr.sun_path + 1, sizeof(addr.sun_path) - 1, "velmor-stop.%d.%d",
                   static_cast<int>(getpid()), static_cast<int>(worker.pid()));
  int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(sock, 0);
  const std::string junk(600, 'x');
  for (size_t size : {size_t(3), junk.size()})
    EXPECT_EQ(sendto(sock, junk.data(), size, 0, reinterpret_cast<sockaddr*>(&addr),
                     static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n)),
              static_cast<ssize_t>(size));
  close(sock);

  EXPECT_EQ(forward_stop(worker.key().c_str()), 1);
  EXPECT_TRUE(worker.stopped(10000));
}

// Keys that no other worker runs stay with the caller, which stops them
// itself (an unknown key changes nothing there).
TEST_F(StopForwardingTest, ForwardLeavesOtherKeysToTheCaller) {
  const std::string own = "mod_call_1_" + std::to_string(getpid()) + "_7";
  const struct {
    std::string key;
    const char* why;
  } cases[] = {
      {own, "names this process"},
      {"mod_call_1_1_7", "names a process that is no worker"},
      {"mod_call", "names no process"},
      {"", "empty"},
      {std::string(600, 'm') + "_1_1_7", "longer than any key"},
  };
  for (const auto& c : cases) EXPECT_EQ(forward_stop(c.key.c_str()), 0) << c.why;
}

// Per-user server: a key naming a worker that left its slot (as after a
// reload) reaches that worker and not the slot's new one.
TEST_F(StopForwardingTest, PassToSlotReachesTheRetiringWorker) {
  PlayedWorker old_worker;
  PlayedWorker new_worker;
  ASSERT_GT(old_worker.pid(), 0);
  ASSERT_GT(new_worker.pid(), 0);
  occupy_slot(new_worker.pid());
  pass_stop_to_slot(0, old_worker.key().c_str());
  EXPECT_TRUE(old_worker.stopped(10000));
  pass_stop_to_slot(0, new_worker.key().c_str());
  EXPECT_TRUE(new_worker.stopped(10000));
}

// A key that names no running worker goes to the slot's current one.
TEST_F(StopForwardingTest, PassToSlotFallsBackToTheCurrentWorker) {
  for (const char* key : {"mod_call", "mod_call_1_1_7"}) {
    SCOPED_TRACE(key);
    PlayedWorker worker(key);
    ASSERT_EQ(worker.key(), key);
    occupy_slot(worker.pid());
    pass_stop_to_slot(0, key);
    EXPECT_TRUE(worker.stopped(10000));
  }
}

}  // namespace
