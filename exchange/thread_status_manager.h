// PLACEHOLDER: replaced by the live-thread registry.
#ifndef VELMOR_EXCHANGE_THREAD_STATUS_MANAGER_H_
#define VELMOR_EXCHANGE_THREAD_STATUS_MANAGER_H_

class ThreadStatusManager {
 public:
  ThreadStatusManager() {}
};

#endif
