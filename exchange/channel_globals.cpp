// Process-wide state of the channel. It lives in the shared channel library so
// that the server, the worker and every stub library see one copy.
#include <pthread.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

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
#ifdef __SANITIZE_ADDRESS__
  // The unwinding skips the epilogues of the frames above, user code
  // included, so their redzones would stay poisoned under the clean-ups that
  // run below them: clear the shadow of the whole stack above first.
  __asan_handle_no_return();
#endif
  int old_state = enable_cancellation();
  pthread_testcancel();
  pthread_setcancelstate(old_state, nullptr);
}
