// Registry of running thread and live-thread calls, one per server object.
// A node names a call through its channel (whose function key the client
// received); stop_thread finds it by that key. Nodes come in blocks of
// BLOCK_SIZE and are never returned to the system.
#ifndef VELMOR_EXCHANGE_THREAD_STATUS_MANAGER_H_
#define VELMOR_EXCHANGE_THREAD_STATUS_MANAGER_H_

#include <pthread.h>

#include <vector>

class DataExchange;
class ThreadStatusManager;

struct ThreadStatusNode {
  ThreadStatusManager* manager;
  ThreadStatusNode* next;
  ThreadStatusNode* back;
  DataExchange* de;
  int stop_requested;  // set by terminate_thread before it cancels the call

  // The call has ended: hands the node back to its manager.
  void terminated();
  // 1 when the client asked to stop this call (read under the manager's lock).
  int was_stopped();
  // Called by the call's own thread when its client can no longer be reached:
  // the call ends at its next safe point exactly as if the client had stopped it.
  void stop_own_call();
};

// Blocks stay allocated while any call is registered; an idle registry
// frees them when it is destroyed.
class ThreadStatusManager {
 public:
  enum { BLOCK_SIZE = 512 };

  ThreadStatusManager();
  ~ThreadStatusManager();
  ThreadStatusManager(const ThreadStatusManager&) = delete;
  ThreadStatusManager& operator=(const ThreadStatusManager&) = delete;

  // Registers a running call; null when memory is exhausted (message written).
  ThreadStatusNode* get_thread_status_node(DataExchange* de);
  // Unregisters a node (it goes back to the free list).
  void free_node(ThreadStatusNode* node);
  // Stops the running call whose function key is `key`: it is cancelled at
  // its next safe point and its clean-up releases channel and node. Unknown
  // keys change nothing. Returns 1 when a call was found.
  int terminate_thread(const char* key);

  // For inspection: calls in use and spare nodes.
  int running_count();
  int free_count();
  int block_count();

  pthread_mutex_t lock;
  ThreadStatusNode* thread_list;  // nodes in use, newest first
  ThreadStatusNode* free_list;    // spare nodes, through next

 private:
  std::vector<ThreadStatusNode*> blocks;  // every block ever allocated
};

#endif
