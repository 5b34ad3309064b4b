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

// A cancelled call unwinds from call_safe_point; the state it restores when
// no stop is pending comes from this helper.
__attribute__((noinline)) static int enable_cancellation() {
  int old_state;
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old_state);
  return old_state;
}

void call_safe_point() {
#ifdef __SANITIZE_ADDRESS__
  // A stop unwinds without the epilogues of the frames above, user code
  // included, so the address sanitizer's redzones in them would stay
  // poisoned under the clean-ups that run below: clear the shadow of the
  // whole stack above first.
  __asan_handle_no_return();
#endif
  int old_state = enable_cancellation();
  pthread_testcancel();
  pthread_setcancelstate(old_state, nullptr);
}
