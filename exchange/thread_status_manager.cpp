#include "thread_status_manager.h"

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cancel_guard.h"
#include "data_exchange.h"

void ThreadStatusNode::terminated() { manager->free_node(this); }

int ThreadStatusNode::was_stopped() {
  pthread_mutex_lock(&manager->lock);
  int stopped = stop_requested;
  pthread_mutex_unlock(&manager->lock);
  return stopped;
}

void ThreadStatusNode::stop_own_call() {
  NoCancelScope no_cancel;
  pthread_mutex_lock(&manager->lock);
  if (!stop_requested) {
    stop_requested = 1;
    pthread_cancel(pthread_self());
  }
  pthread_mutex_unlock(&manager->lock);
}

ThreadStatusManager::ThreadStatusManager()
    : thread_list(nullptr), free_list(nullptr) {
  pthread_mutex_init(&lock, nullptr);
}

// A call still registered may touch its node until it ends, so blocks are
// only given back by an idle registry.
ThreadStatusManager::~ThreadStatusManager() {
  pthread_mutex_lock(&lock);
  bool idle = thread_list == nullptr;
  pthread_mutex_unlock(&lock);
  if (!idle) return;
  for (ThreadStatusNode* block : blocks) free(block);
  pthread_mutex_destroy(&lock);
}

ThreadStatusNode* ThreadStatusManager::get_thread_status_node(DataExchange* de) {
  NoCancelScope no_cancel;
  pthread_mutex_lock(&lock);
  if (free_list == nullptr) {
    ThreadStatusNode* block =
        static_cast<ThreadStatusNode*>(calloc(BLOCK_SIZE, sizeof(ThreadStatusNode)));
    bool recorded = false;
    if (block != nullptr) {
      try {
        blocks.push_back(block);
        recorded = true;
      } catch (...) {
        free(block);
      }
    }
    if (!recorded) {
      pthread_mutex_unlock(&lock);
      fprintf(stderr, "velmor: memory allocation error in get_thread_status_node()\n");
      return nullptr;
    }
    for (int i = 0; i < BLOCK_SIZE - 1; i++) block[i].next = &block[i + 1];
    block[BLOCK_SIZE - 1].next = free_list;
    free_list = block;
  }
  ThreadStatusNode* node = free_list;
  free_list = node->next;
  node->next = thread_list;
  if (thread_list != nullptr) thread_list->back = node;
  node->back = nullptr;
  thread_list = node;
  node->manager = this;
  node->de = de;
  node->stop_requested = 0;
  pthread_mutex_unlock(&lock);
  return node;
}

void ThreadStatusManager::free_node(ThreadStatusNode* node) {
  if (node == nullptr) return;
  NoCancelScope no_cancel;
  pthread_mutex_lock(&lock);
  if (node->back != nullptr)
    node->back->next = node->next;
  else
    thread_list = node->next;
  if (node->next != nullptr) node->next->back = node->back;
  node->back = nullptr;
  node->de = nullptr;
  node->stop_requested = 0;
  node->next = free_list;
  free_list = node;
  pthread_mutex_unlock(&lock);
}

// The node stays listed until the call's own clean-up releases it, so the
// channel it points to is alive while the lock is held, and so is the thread
// (a call releases its node before it ends).
int ThreadStatusManager::terminate_thread(const char* key) {
  if (key == nullptr) return 0;
  NoCancelScope no_cancel;
  pthread_mutex_lock(&lock);
  int found = 0;
  for (ThreadStatusNode* node = thread_list; node != nullptr; node = node->next) {
    if (node->de == nullptr || strcmp(node->de->GetFunctionKey(), key) != 0) continue;
    found = 1;
    if (!node->stop_requested) {
      node->stop_requested = 1;
      pthread_cancel(node->de->thread_id);
    }
    break;
  }
  pthread_mutex_unlock(&lock);
  return found;
}

int ThreadStatusManager::running_count() {
  pthread_mutex_lock(&lock);
  int n = 0;
  for (ThreadStatusNode* node = thread_list; node != nullptr; node = node->next) n++;
  pthread_mutex_unlock(&lock);
  return n;
}

int ThreadStatusManager::free_count() {
  pthread_mutex_lock(&lock);
  int n = 0;
  for (ThreadStatusNode* node = free_list; node != nullptr; node = node->next) n++;
  pthread_mutex_unlock(&lock);
  return n;
}

int ThreadStatusManager::block_count() {
  pthread_mutex_lock(&lock);
  int n = static_cast<int>(blocks.size());
  pthread_mutex_unlock(&lock);
  return n;
}
