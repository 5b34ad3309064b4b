// The per-thread buffer tables and the recursive list lock, without a daemon.
#include "pvm_buffers.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

int list_length(const pvm_pthread_node* node) {
  int n = 0;
  for (; node != NULL; node = node->next) n++;
  return n;
}

// Runs `body` in a fresh thread and waits for it.
void in_thread(const std::function<void()>& body) {
  std::thread t(body);
  t.join();
}

TEST(PvmBuffers, EachThreadHasItsOwnEntriesAndTheCacheNamesOnlyItsOwner) {
  set_pvmsbuf(11);
  set_pvmrbuf(12);
  pvm_pthread_node* mine = get_pvm_pthread_node(&send_buffers);
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(get_pvm_pthread_node(&send_buffers), mine);  // from the cache

  in_thread([&] {
    // The cache names the main thread; this thread must not get its entry.
    EXPECT_EQ(get_pvmsbuf(), 0);
    EXPECT_EQ(get_pvmrbuf(), 0);
    set_pvmsbuf(21);
    EXPECT_NE(get_pvm_pthread_node(&send_buffers), mine);
    EXPECT_EQ(get_pvmsbuf(), 21);
    pvm_pthread_exit();
  });
  EXPECT_EQ(get_pvmsbuf(), 11);
  EXPECT_EQ(get_pvmrbuf(), 12);
  set_pvmsbuf(0);
  set_pvmrbuf(0);
  pvm_pthread_exit();
}

TEST(PvmBuffers, DeletedEntryLeavesTheCacheAndGoesBackToTheFreeList) {
  in_thread([] {
    pvm_pthread_node* node = get_pvm_pthread_node(&recv_buffers);
    ASSERT_NE(node, nullptr);
    int free_before = recv_buffers.free_node_count;
    delete_pvm_pthread_node(&recv_buffers);
    EXPECT_EQ(recv_buffers.free_node_count, free_before + 1);
    EXPECT_EQ(recv_buffers.free_list, node);
    EXPECT_EQ(recv_buffers.last_access_node, nullptr);
    EXPECT_EQ(node->msg_buffer, 0);
    delete_pvm_pthread_node(&recv_buffers);  // nothing left: no change
    EXPECT_EQ(recv_buffers.free_node_count, free_before + 1);
  });
}

TEST(PvmBuffers, ExitOfAThreadThatNeverUsedPvmLeavesBothTablesUnchanged) {
  // Make sure both tables have their first block, so counts are comparable.
  in_thread([] { set_pvmsbuf(0); set_pvmrbuf(0); pvm_pthread_exit(); });
  int send_free = send_buffers.free_node_count;
  int recv_free = recv_buffers.free_node_count;
  int send_used = list_length(send_buffers.buffer_list);
  int recv_used = list_length(recv_buffers.buffer_list);
  in_thread([] { pvm_pthread_exit(); });
  EXPECT_EQ(send_buffers.free_node_count, send_free);
  EXPECT_EQ(recv_buffers.free_node_count, recv_free);
  EXPECT_EQ(list_length(send_buffers.buffer_list), send_used);
  EXPECT_EQ(list_length(recv_buffers.buffer_list), recv_used);
}

TEST(PvmBuffers, The513thConcurrentThreadAllocatesASecondBlock) {
  const int kThreads = PVM_PTHREAD_BLOCK + 1;
  int in_use_before = list_length(send_buffers.buffer_list);
  int total_before = in_use_before + send_buffers.free_node_count;
  ASSERT_LE(total_before, PVM_PTHREAD_BLOCK) << "an earlier test grew the table";

  pthread_barrier_t all_have_entries, may_leave;
  pthread_barrier_init(&all_have_entries, NULL, kThreads + 1);
  pthread_barrier_init(&may_leave, NULL, kThreads + 1);
  std::atomic<int> distinct_values{0};
  struct Arg {
    pthread_barrier_t* a;
    pthread_barrier_t* b;
    std::atomic<int>* ok;
    int value;
  };
  std::vector<Arg> args(kThreads);
  std::vector<pthread_t> threads(kThreads);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  for (int i = 0; i < kThreads; i++) {
    args[i] = {&all_have_entries, &may_leave, &distinct_values, 1000 + i};
    ASSERT_EQ(pthread_create(&threads[i], &attr, [](void* p) -> void* {
      Arg* a = static_cast<Arg*>(p);
      set_pvmsbuf(a->value);
      pthread_barrier_wait(a->a);
      if (get_pvmsbuf() == a->value) a->ok->fetch_add(1);
      pthread_barrier_wait(a->b);
      set_pvmsbuf(0);
      pvm_pthread_exit();
      return NULL;
    }, &args[i]), 0);
  }
  pthread_barrier_wait(&all_have_entries);
  EXPECT_EQ(list_length(send_buffers.buffer_list), in_use_before + kThreads);
  EXPECT_EQ(list_length(send_buffers.buffer_list) + send_buffers.free_node_count,
            2 * PVM_PTHREAD_BLOCK);
  pthread_barrier_wait(&may_leave);
  for (pthread_t t : threads) pthread_join(t, NULL);
  pthread_attr_destroy(&attr);
  pthread_barrier_destroy(&all_have_entries);
  pthread_barrier_destroy(&may_leave);
  EXPECT_EQ(distinct_values.load(), kThreads);
  EXPECT_EQ(list_length(send_buffers.buffer_list), in_use_before);
  EXPECT_EQ(send_buffers.free_node_count, 2 * PVM_PTHREAD_BLOCK - in_use_before);
}

TEST(PvmBuffers, ManyThreadsRecyclingEntriesNeverSeeAnothersBuffer) {
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t, &mismatches] {
      for (int round = 0; round < 2000; round++) {
        int value = t * 100000 + round + 1;
        set_pvmsbuf(value);
        set_pvmrbuf(-value);
        if (get_pvmsbuf() != value || get_pvmrbuf() != -value) mismatches++;
        if (round % 7 == 0) {
          set_pvmsbuf(0);
          set_pvmrbuf(0);
          pvm_pthread_exit();
        }
      }
      set_pvmsbuf(0);
      set_pvmrbuf(0);
      pvm_pthread_exit();
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches.load(), 0);
}

TEST(PvmRxListLock, CountsPerThreadAndOnlyTheLastUnlockReleases) {
  EXPECT_EQ(pvmrxlist_lock(), 1);
  EXPECT_EQ(pvmrxlist_lock(), 2);
  EXPECT_EQ(pvmrxlist_lock(), 3);

  auto other_can_take_mutex = [] {
    bool taken = false;
    in_thread([&] {
      taken = pthread_mutex_trylock(&pvmrxlist_lock_context.lock) == 0;
      if (taken) pthread_mutex_unlock(&pvmrxlist_lock_context.lock);
    });
    return taken;
  };
  EXPECT_EQ(pvmrxlist_unlock(), 2);
  EXPECT_FALSE(other_can_take_mutex());
  EXPECT_EQ(pvmrxlist_unlock(), 1);
  EXPECT_FALSE(other_can_take_mutex());
  EXPECT_EQ(pvmrxlist_unlock(), 0);
  EXPECT_TRUE(other_can_take_mutex());
}

TEST(PvmRxListLock, UnlockByAnotherThreadIsReportedAndChangesNothing) {
  ASSERT_EQ(pvmrxlist_lock(), 1);
  ASSERT_EQ(pvmrxlist_lock(), 2);
  int result = -99;
  unsigned long other_id = 0;
  std::string err;
  in_thread([&] {
    other_id = (unsigned long)pthread_self();
    testing::internal::CaptureStderr();
    result = pvmrxlist_unlock();
    err = testing::internal::GetCapturedStderr();
  });
  EXPECT_EQ(result, 2);
  EXPECT_EQ(err, "bad unlock request from " + std::to_string(other_id) + "\n");
  EXPECT_EQ(pvmrxlist_unlock(), 1);
  EXPECT_EQ(pvmrxlist_unlock(), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(pvmrxlist_unlock(), 0);  // not held at all
  EXPECT_NE(testing::internal::GetCapturedStderr().find("bad unlock request"), std::string::npos);
}

TEST(PvmRxListLock, SerialisesThreads) {
  int shared = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 5000; i++) {
        pvmrxlist_lock();
        pvmrxlist_lock();
        shared++;
        pvmrxlist_unlock();
        pvmrxlist_unlock();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared, 20000);
}

}  // namespace
