#include "pvm_slave_thread.h"

#include <pthread.h>
#include <stdio.h>

#include "data_exchange.h"
#include "pvm_buffers.h"
#include "stub_runner.h"
#include "thread_status_manager.h"
#include "worker_trace.h"

PvmSlaveThread::PvmSlaveThread(DataExchange* de, const char* package, const char* name,
                               REMFUN func, ThreadStatusManager* registry)
    : de(de), func_ptr(func), function_package(package), function_name(name), registry(registry) {}

PvmSlaveThread::~PvmSlaveThread() { delete de; }

int refuse_call(DataExchange* de) { return de->PvmSend("#LIB_ERROR"); }

// The end of a call, run or stopped: the registry forgets it before its
// channel goes.
static void end_slave_call(PvmSlaveThread* call) {
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(call->de->GetThreadStatusNode());
  if (node != NULL) node->terminated();
  delete call;
  worker_trace("calling pvm_pthread_exit...");
  pvm_pthread_exit();
}

// A call stopped by its client, at one of the channel's safe points.
static void stopped_slave_call(void* record) {
  PvmSlaveThread* call = static_cast<PvmSlaveThread*>(record);
  char stopped[600];
  snprintf(stopped, sizeof stopped, "pvm thread..%s..stopped", call->de->GetFunctionKey());
  end_slave_call(call);
  worker_trace("%s", stopped);
}

static void run_slave_call(PvmSlaveThread* call) {
  if (call->func_ptr != NULL) {
    // A stub that gives up (its library or symbol missing) may leave the
    // server's relay waiting for texts; release it. A call whose client left
    // before its arguments were through is not run, and nobody waits for it.
    // One whose user code threw has already told the relay (fail_call).
    std::string thrown;
    switch (run_stub(call->func_ptr, call->de, &thrown)) {
      case STUB_FAILED:
        refuse_call(call->de);
        break;
      case STUB_ABANDONED:
        worker_trace("%s.%s abandoned by its client", call->function_package.c_str(),
                     call->function_name.c_str());
        break;
      case STUB_THREW:
        worker_trace("%s.%s threw: %s", call->function_package.c_str(), call->function_name.c_str(),
                     thrown.c_str());
        break;
      case STUB_DONE:
        break;
    }
  } else {
    worker_trace("no stub for %s.%s, the call is refused", call->function_package.c_str(),
                 call->function_name.c_str());
    refuse_call(call->de);
  }
}

void* pvm_slave_call(void* record) {
  PvmSlaveThread* call = static_cast<PvmSlaveThread*>(record);
  if (call->de == NULL) {
    delete call;
    pvm_pthread_exit();
    return NULL;
  }
  // The worker's own key, then swapped: values carry the server's key (which
  // the client knows), break_connection sends the worker's.
  call->de->SetFunctionKey(NULL);
  call->de->SwapKeys();
  char done[600];
  snprintf(done, sizeof done, "pvm thread..%s..completed", call->de->GetFunctionKey());

  // Registered under the server's key, which the proxy's stop request names;
  // the stop takes effect only at the channel's safe points.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, NULL);
  if (call->registry != NULL)
    call->de->SetThreadStatusNode(call->registry->get_thread_status_node(call->de));
  pthread_cleanup_push(stopped_slave_call, call);
  run_slave_call(call);
  pthread_cleanup_pop(0);
  end_slave_call(call);
  worker_trace("%s", done);
  return NULL;
}
