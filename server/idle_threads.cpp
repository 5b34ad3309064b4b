#include "idle_threads.h"

#include <errno.h>
#include <time.h>

IdleThreads::IdleThreads(int idle_seconds) : idle_seconds_(idle_seconds), idle_(0) {
  pthread_mutex_init(&lock_, nullptr);
  pthread_cond_init(&wake_, nullptr);
}

bool IdleThreads::hand_over(void* work) {
  pthread_mutex_lock(&lock_);
  bool taken = idle_ > 0;
  if (taken) {
    idle_--;
    handed_over_.push_back(work);
  }
  pthread_mutex_unlock(&lock_);
  // Outside the lock: the woken thread need not wait for it at once.
  if (taken) pthread_cond_signal(&wake_);
  return taken;
}

void* IdleThreads::next() {
  timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += idle_seconds_;
  pthread_mutex_lock(&lock_);
  idle_++;
  while (handed_over_.empty()) {
    if (pthread_cond_timedwait(&wake_, &lock_, &until) == ETIMEDOUT && handed_over_.empty()) {
      idle_--;
      pthread_mutex_unlock(&lock_);
      return nullptr;
    }
  }
  void* work = handed_over_.front();
  handed_over_.pop_front();
  pthread_mutex_unlock(&lock_);
  return work;
}
