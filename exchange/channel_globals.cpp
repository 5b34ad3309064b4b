// Process-wide state of the channel. It lives in the shared channel library so
// that the server, the worker and every stub library see one copy.
#include <pthread.h>

#include "data_exchange.h"
#include "execution_model.h"

ExecutionModel execution_model = PROCESS_POOL;
int working_thread = 0;

unsigned int DataExchange::counter = 0;
int DataExchange::msg_tag = 0;

// A cancelled call unwinds from here. The frames it skips keep whatever the
// address sanitizer poisoned in them, so neither this frame nor the channel
// frames above it hold stack arrays or address-taken locals: the state
// comes from a helper whose frame is gone by then.
__attribute__((noinline)) static int enable_cancellation() {
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_state);
  return old_state;
}

void call_safe_point() {
  int old_state = enable_cancellation();
  pthread_testcancel();
  pthread_setcancelstate(old_state, nullptr);
}
