// Buffers and task table against a real PVM daemon (started by the fixture).
#include <pvm3.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "pvm_buffers.h"
#include "pvm_task_table.h"

namespace {

int my_tid() {
  int tid = pvm_thread_mytid();
  if (tid <= 0) ADD_FAILURE() << "no PVM daemon: " << tid;
  return tid;
}

std::string receive(int from, int tag) {
  char text[1024];
  int rc = pvm_thread_recv_text(from, tag, 10000, text, sizeof text);
  return rc > 0 ? text : "<rc " + std::to_string(rc) + ">";
}

// Two threads build their messages in turns, each across several lock
// scopes; each message must hold only its own thread's texts.
TEST(PvmDaemon, InterleavedPackingKeepsEachThreadsSendBuffer) {
  int self = my_tid();
  ASSERT_GT(self, 0);
  pthread_barrier_t step;
  pthread_barrier_init(&step, NULL, 2);
  auto worker = [&](const char* name, int tag, int first) {
    for (int part = 0; part < 6; part++) {
      if ((part % 2 == 0) == first) {
        PvmBufferScope scope;
        if (part < 2) pvm_initsend(PvmDataDefault);
        std::string text = std::string(name) + std::to_string(part);
        pvm_pkstr(const_cast<char*>(text.c_str()));
      }
      pthread_barrier_wait(&step);
    }
    {
      PvmBufferScope scope;
      pvm_send(self, tag);
    }
    pthread_barrier_wait(&step);
    std::string got;
    auto unpack = [](void* arg) {
      char part[64];
      for (int i = 0; i < 3 && pvm_upkstr(part) >= 0; i++) *static_cast<std::string*>(arg) += part;
    };
    EXPECT_GT(pvm_thread_recv(self, tag, 10000, unpack, &got), 0);
    EXPECT_EQ(got, first ? std::string(name) + "0" + name + "2" + name + "4"
                         : std::string(name) + "1" + name + "3" + name + "5");
    pvm_pthread_exit();
  };
  std::thread a(worker, "A", 101, 1);
  std::thread b(worker, "B", 102, 0);
  a.join();
  b.join();
  pthread_barrier_destroy(&step);
}

TEST(PvmDaemon, ConcurrentThreadsReceiveOnlyTheirOwnTag) {
  int self = my_tid();
  ASSERT_GT(self, 0);
  const int kThreads = 8, kMessages = 50;
  std::vector<std::thread> threads;
  std::vector<int> wrong(kThreads, 0);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&, t] {
      int tag = 200 + t;
      for (int i = 0; i < kMessages; i++) {
        std::string text = std::to_string(t) + ":" + std::to_string(i);
        EXPECT_EQ(pvm_thread_send_text(self, tag, text.c_str()), 1);
        if (i % 3 == 2) std::this_thread::yield();
      }
      for (int i = 0; i < kMessages; i++)
        if (receive(self, tag) != std::to_string(t) + ":" + std::to_string(i)) wrong[t]++;
      pvm_pthread_exit();
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; t++) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(PvmDaemon, ReceiveTimesOutAndLongTextsAreCutSafely) {
  int self = my_tid();
  ASSERT_GT(self, 0);
  char text[16];
  EXPECT_EQ(pvm_thread_recv_text(self, 300, 50, text, sizeof text), 0);
  EXPECT_STREQ(text, "");
  std::string long_text(5000, 'x');
  ASSERT_EQ(pvm_thread_send_text(self, 301, long_text.c_str()), 1);
  EXPECT_GT(pvm_thread_recv_text(self, 301, 10000, text, sizeof text), 0);
  EXPECT_EQ(std::string(text), std::string(15, 'x'));
  pvm_pthread_exit();
}

// Scratch directories go at exit too: a death-test child ends before TearDown.
std::vector<std::string>& scratch_dirs() {
  static std::vector<std::string> dirs;
  return dirs;
}
void remove_scratch_dirs() {
  for (const std::string& dir : scratch_dirs()) system(("rm -rf " + dir).c_str());
  scratch_dirs().clear();
}

// A scratch VELMOR_BIN_DIR with the real start script and, as its
// "pvm_worker", the echo task.
// The task's PVM status once it has had up to five seconds to end.
int status_after_exit(int tid) {
  int status = PvmOk;
  for (int i = 0; i < 100 && status == PvmOk; i++) {
    {
      PvmBufferScope scope;
      status = pvm_pstat(tid);
    }
    if (status == PvmOk) usleep(50000);
  }
  return status;
}

class TaskTableTest : public testing::Test {
 protected:
  void SetUp() override {
    char bin_template[] = "/tmp/velmor-pvm-bin-XXXXXX";
    char work_template[] = "/tmp/velmor-pvm-work-XXXXXX";
    ASSERT_NE(mkdtemp(bin_template), nullptr);
    ASSERT_NE(mkdtemp(work_template), nullptr);
    bin_dir_ = bin_template;
    work_dir_ = work_template;
    // The list must exist before the handler is registered, so it outlives it.
    static bool registered = (scratch_dirs(), atexit(remove_scratch_dirs), true);
    (void)registered;
    scratch_dirs().push_back(bin_dir_);
    scratch_dirs().push_back(work_dir_);
    ASSERT_EQ(system(("cp " VELMOR_START_SCRIPT " " + bin_dir_ + "/Velmor.sh").c_str()), 0);
    ASSERT_EQ(symlink(PVM_ECHO_TASK, (bin_dir_ + "/pvm_worker").c_str()), 0);
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(work_dir_.c_str()), 0);
    setenv("VELMOR_BIN_DIR", bin_dir_.c_str(), 1);
    setenv("VELMOR_DEFINITION_FILES", "first.def\nsecond file.def", 1);
    setenv("MAX_PVM_PROCESSES", "4", 1);
  }
  void TearDown() override {
    if (chdir(old_cwd_) != 0) ADD_FAILURE() << "chdir back";
    remove_scratch_dirs();
  }
  std::string bin_dir_, work_dir_;
  char old_cwd_[1024];
};

TEST_F(TaskTableTest, SlotStartsOneWorkerThroughTheStartScriptAndEndsIt) {
  PVM_Task_Table table;
  ASSERT_EQ(table.pool_size, 4);
  testing::internal::CaptureStdout();
  int tid = table.create_pvm_task(2);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_GT(tid, 0);
  EXPECT_EQ(out, "creating pvm task... -" + bin_dir_ + "/Velmor.sh-\n");
  EXPECT_EQ(table.pvm_task_ids[2].task_status, 1);

  testing::internal::CaptureStdout();
  EXPECT_EQ(table.create_pvm_task(2), tid);  // no second spawn
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(table.get_task_id(2), tid);
  EXPECT_EQ(table.get_task_id(1), 0);
  EXPECT_EQ(table.get_task_id(ANY_TASK), 0);

  // The task runs in our working directory with the definition files.
  ASSERT_EQ(pvm_thread_send_text(tid, 1, "hello"), 1);
  EXPECT_EQ(receive(tid, 2), "first.def,second file.def|" + work_dir_ + "|hello");

  EXPECT_EQ(table.end_task_id(2), 0);
  EXPECT_EQ(table.get_task_id(2), 0);
  EXPECT_EQ(status_after_exit(tid), PvmNoTask);
  pvm_pthread_exit();
}

TEST_F(TaskTableTest, DestructorKillsTheStartedTasks) {
  int tid;
  {
    PVM_Task_Table table;
    testing::internal::CaptureStdout();
    tid = table.create_pvm_task(0);
    testing::internal::GetCapturedStdout();
    ASSERT_GT(tid, 0);
  }
  // The destructor left PVM; enrol again to ask about the task.
  EXPECT_EQ(status_after_exit(tid), PvmNoTask);
  pvm_pthread_exit();
}

TEST_F(TaskTableTest, MissingStartScriptEndsTheProcessWithStatus1) {
  // A fresh process: a forked copy would share this one's daemon connection.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string empty_dir = work_dir_ + "/nobin";
  ASSERT_EQ(mkdir(empty_dir.c_str(), 0755), 0);
  setenv("VELMOR_BIN_DIR", empty_dir.c_str(), 1);
  EXPECT_EXIT(
      {
        PVM_Task_Table table;
        table.create_pvm_task(1);
      },
      testing::ExitedWithCode(1), "Error starting \\.\\.\\..*/nobin/Velmor.sh");
}

}  // namespace
