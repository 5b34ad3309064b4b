// The live-thread registry: block growth, release, and stopping a call.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <vector>

#include "data_exchange.h"
#include "thread_status_manager.h"

namespace {

TEST(ThreadStatusManager, GrowsByBlocksAndReusesNodes) {
  ThreadStatusManager manager;
  std::vector<DataExchange*> channels;
  std::vector<ThreadStatusNode*> nodes;
  for (int i = 0; i < 513; i++) {
    channels.push_back(new DataExchange());
    nodes.push_back(manager.get_thread_status_node(channels.back()));
    ASSERT_NE(nodes.back(), nullptr);
    EXPECT_EQ(nodes.back()->manager, &manager);
    EXPECT_EQ(nodes.back()->de, channels.back());
  }
  EXPECT_EQ(manager.block_count(), 2);
  EXPECT_EQ(manager.running_count(), 513);
  EXPECT_EQ(manager.free_count(), 2 * ThreadStatusManager::BLOCK_SIZE - 513);
  EXPECT_EQ(manager.thread_list, nodes.back());  // newest first

  // Release from the middle, the head and the tail.
  nodes[200]->terminated();
  nodes[512]->terminated();
  nodes[0]->terminated();
  EXPECT_EQ(manager.running_count(), 510);
  for (ThreadStatusNode* n = manager.thread_list; n != nullptr; n = n->next) {
    if (n->next != nullptr) {
      EXPECT_EQ(n->next->back, n);
    }
  }
  for (int i = 1; i < 512; i++)
    if (i != 200) nodes[i]->terminated();
  EXPECT_EQ(manager.running_count(), 0);
  EXPECT_EQ(manager.free_count(), 2 * ThreadStatusManager::BLOCK_SIZE);
  EXPECT_EQ(manager.thread_list, nullptr);

  // The last released node is handed out first, before any new block.
  ThreadStatusNode* again = manager.get_thread_status_node(channels[0]);
  EXPECT_EQ(again, nodes[511]);
  EXPECT_EQ(again->back, nullptr);
  EXPECT_EQ(manager.block_count(), 2);
  again->terminated();
  for (DataExchange* de : channels) delete de;
}

// A call thread as the request protocol runs it: registered, a key of its
// own, a clean-up that releases channel and node.
struct Call {
  ThreadStatusManager* manager;
  DataExchange* de;
  std::atomic<int> started{0};
  std::atomic<int> cleaned{0};
};

void cleanup(void* p) {
  Call* call = static_cast<Call*>(p);
  static_cast<ThreadStatusNode*>(call->de->GetThreadStatusNode())->terminated();
  delete call->de;
  call->de = nullptr;
  call->cleaned = 1;
}

void* run_call(void* p) {
  Call* call = static_cast<Call*>(p);
  pthread_cleanup_push(cleanup, call);
  call->de->SetFunctionKey("live");
  call->de->SetThreadStatusNode(call->manager->get_thread_status_node(call->de));
  call->started = 1;
  // As a stub under the request protocol: cancellable only at safe points.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  for (int i = 0; i < 3000; i++) {
    usleep(1000);
    call_safe_point();
  }
  pthread_cleanup_pop(1);
  return nullptr;
}

TEST(ThreadStatusManager, TerminateThreadStopsTheNamedCall) {
  ThreadStatusManager manager;
  Call call;
  call.manager = &manager;
  call.de = new DataExchange();
  call.de->SetModuleName("m");
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, run_call, &call), 0);
  for (int i = 0; i < 5000 && !call.started; i++) usleep(1000);
  ASSERT_TRUE(call.started);
  std::string key = call.de->GetFunctionKey();

  EXPECT_EQ(manager.terminate_thread("live_0_0_0"), 0);  // unknown keys change nothing
  EXPECT_EQ(manager.running_count(), 1);
  EXPECT_EQ(manager.terminate_thread(key.c_str()), 1);
  pthread_join(thread, nullptr);
  EXPECT_EQ(call.cleaned, 1);
  EXPECT_EQ(manager.running_count(), 0);
  EXPECT_EQ(manager.terminate_thread(key.c_str()), 0);  // gone: nothing left to stop
}

}  // namespace
