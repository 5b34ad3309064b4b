// Keeps the calling thread from being cancelled while it holds a lock or is in
// the middle of a PVM exchange; a stop request then takes effect at the next
// cancellation point outside the section.
#ifndef VELMOR_EXCHANGE_CANCEL_GUARD_H_
#define VELMOR_EXCHANGE_CANCEL_GUARD_H_

#include <pthread.h>

class NoCancelScope {
 public:
  NoCancelScope() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_state_); }
  ~NoCancelScope() { pthread_setcancelstate(old_state_, nullptr); }
  NoCancelScope(const NoCancelScope&) = delete;
  NoCancelScope& operator=(const NoCancelScope&) = delete;

 private:
  int old_state_;
};

#endif
