// One call run by the worker: the channel to the server, the stub and the
// names it was asked for. The record owns its channel.
#ifndef VELMOR_PVM_PVM_SLAVE_THREAD_H_
#define VELMOR_PVM_PVM_SLAVE_THREAD_H_

#include <string>

#include "remfun.h"

class DataExchange;
class ThreadStatusManager;

class PvmSlaveThread {
 public:
  DataExchange* de;
  REMFUN func_ptr;  // NULL when the worker has no stub for the call
  std::string function_package;
  std::string function_name;
  ThreadStatusManager* registry;  // where the running call can be found to stop it, or NULL

  PvmSlaveThread(DataExchange* de, const char* package, const char* name, REMFUN func,
                 ThreadStatusManager* registry);
  ~PvmSlaveThread();  // deletes de
  PvmSlaveThread(const PvmSlaveThread&) = delete;
  PvmSlaveThread& operator=(const PvmSlaveThread&) = delete;
};

// Thread body of one call: takes ownership of the PvmSlaveThread* it is given.
// The call is registered while it runs; a stop request for its key ends it
// at the channel's next safe point.
void* pvm_slave_call(void* record);

// How the worker answers a call it cannot run: one "#LIB_ERROR" data message.
// The server's relay then gives the client "#LIB_ERROR" for every value it
// waits for. Returns the PvmSend result.
int refuse_call(DataExchange* de);

#endif
