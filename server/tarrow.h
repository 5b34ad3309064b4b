// The server object: port, module registry, connection counters, live-thread registry.
// Its operations live in several files, one concern each:
//   tarrow.cpp           port and construction
//   registry.cpp         load_formulae .. find_execution_type
//   connection.cpp       HandleClient and the two service entries
//   request_protocol.cpp ProcessRequest
#ifndef VELMOR_SERVER_TARROW_H_
#define VELMOR_SERVER_TARROW_H_

#include <netinet/in.h>

#include <atomic>

#include "execution_model.h"
#include "externals.h"
#include "hcstruct.h"
#include "remfun.h"
#include "thread_status_manager.h"

class FormulaManager;

class Tarrow {
 public:
  int port;
  FormulaManager* fm_list;
  std::atomic<unsigned int> total_threads_count;
  std::atomic<unsigned int> alive_threads_count;
  ThreadStatusManager thread_status_manager;

  Tarrow();

  int set_port(const char* text);
  int get_port();

  int load_formulae(char* file);
  // Loads every library and stub library and registers the formulae; a
  // library that does not load ends the process (status 1).
  int readConfiguration();
  // The loading half of readConfiguration: every library, then every stub
  // library; one that does not load ends the process (status 1).
  void load_libraries();
  // In a forked worker: loads the libraries and stub libraries of fm_list.
  // A module that does not load is left unloaded (its calls fail) and said.
  void load_worker_libraries();
  int printConfiguration();
  int IsProtoConsistent(char* module, char* stamp);
  int GetProtoTimeStamp(char* module, char* out);
  REMFUN getRemoteFunction(char* module, char* function);
  ExecutionType find_execution_type(char* function);
  // The same, among the declarations of that module only (when it is known).
  ExecutionType find_execution_type(char* module, char* function);

  int HandleClient(void* record);
  // Serves an accepted and admitted pool connection whose first request
  // line has arrived: in the calling thread without connection threads,
  // otherwise in a connection thread. At most MAX_THREADS_PER_PROCESS
  // connection threads serve at once; a connection beyond them waits its
  // turn. Returns 1 served or queued, 0 failed (the socket is closed).
  int process_pool_service(int ClientSock, sockaddr_in ClientAddr);
  // Starts the thread that a queued connection still lacks because creating
  // it failed; call about once a second. Thread-safe.
  void retry_pool_threads();
  static void* process_pool_thread(void* record);
  // Serves one conversation of a per-user worker on the client's socket, in
  // the calling thread, and closes the socket (unless the protocol closed it
  // or handed it to a call). Returns HandleClient's result.
  int process_per_user_service(int slot, int ClientSock, sockaddr_in ClientAddr);

  PROCESS_REQUEST_STATUS ProcessRequest(HCStruct* hc_struct, char* data);
};

// The stub library path of a module into path (VELMOR_PATH_SIZE bytes).
void module_stub_path(const FormulaManager* fm, char* path);
// Registers (or removes) the FORMULAE and GENERATORS of every module of list
// in the formula tables.
void register_formulae(FormulaManager* list);
void unregister_formulae(FormulaManager* list);

// Server globals, created before main in this order.
extern Tarrow FS;
extern int max_kids;
extern int max_threads_per_kid;

#endif
