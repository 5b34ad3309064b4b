#include "pvm_slave_thread.h"

#include <stdio.h>

#include "data_exchange.h"
#include "pvm_buffers.h"
#include "worker_trace.h"

PvmSlaveThread::PvmSlaveThread(DataExchange* de, const char* package, const char* name,
                               REMFUN func)
    : de(de), func_ptr(func), function_package(package), function_name(name) {}

PvmSlaveThread::~PvmSlaveThread() { delete de; }

int refuse_call(DataExchange* de) { return de->PvmSend("#LIB_ERROR"); }

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

  if (call->func_ptr != NULL) {
    // A stub that gives up (its library or symbol missing) may leave the
    // server's relay waiting for texts; release it.
    if (call->func_ptr(call->de) == 0) refuse_call(call->de);
  } else {
    worker_trace("no stub for %s.%s, the call is refused", call->function_package.c_str(),
                 call->function_name.c_str());
    refuse_call(call->de);
  }
  delete call;
  worker_trace("calling pvm_pthread_exit...");
  pvm_pthread_exit();
  worker_trace("%s", done);
  return NULL;
}
