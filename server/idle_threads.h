// Idle threads: threads that finished a piece of work wait here for the next
// one instead of ending, because creating a thread costs more than a short
// conversation's own work. There is no cap: work that finds no waiting
// thread is the caller's to give to a new thread.
#ifndef VELMOR_SERVER_IDLE_THREADS_H_
#define VELMOR_SERVER_IDLE_THREADS_H_

#include <pthread.h>

#include <deque>

class IdleThreads {
 public:
  // A waiting thread gives up (next() returns nullptr) after idle_seconds
  // without work: memory for a burst is given back, a steady load keeps its
  // threads.
  explicit IdleThreads(int idle_seconds);
  IdleThreads(const IdleThreads&) = delete;
  IdleThreads& operator=(const IdleThreads&) = delete;

  // Gives work (not nullptr) to a waiting thread; false when none waits,
  // and then the caller keeps it. Thread-safe.
  bool hand_over(void* work);

  // Waits in the calling thread for the next work handed over; nullptr after
  // the idle time without any. Thread-safe.
  void* next();

 private:
  const int idle_seconds_;
  pthread_mutex_t lock_;
  pthread_cond_t wake_;
  // Waiting threads not yet promised work; every waiting thread is either
  // counted here or owed an entry of handed_over_.
  int idle_;
  std::deque<void*> handed_over_;
};

#endif
