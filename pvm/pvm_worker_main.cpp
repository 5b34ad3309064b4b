// pvm_worker: a PVM task started by a worker process of the server through
// "Velmor.sh". It builds and loads the stubs of the definition files it is
// given, like the server, then runs every call-start message of its parent in
// a detached thread of its own over a PVM_SLAVE_SERVICE channel.
//
// Command line: definition files, and anywhere among them "-t" or "-trace"
// (any case) followed by the trace file.
#include <pthread.h>
#include <pvm3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include "data_exchange.h"
#include "pvm_buffers.h"
#include "pvm_slave_thread.h"
#include "startup.h"
#include "tarrow.h"
#include "worker_trace.h"
#include "wrapper_interface.h"

namespace {

enum { NAME_SIZE = 512 };

void load_definition_file(char* file) {
  worker_trace("%s", file);
  if (!check_availability(file)) {
    worker_trace("file (%s) not found, continuing with the rest\n", file);
    return;
  }
  worker_trace("before wrapper interface");
  if (!wrapper_interface(file)) {
    worker_trace("Unable to generate wrappers for %s, continuing with the rest.\n", file);
    return;
  }
  worker_trace("before load formulae");
  if (!FS.load_formulae(file))
    worker_trace("Failed to load formulae_file '%s', continuing with the rest.\n", file);
}

void start_up(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    // The option word itself is still taken as a file (and reported as not
    // found); only the name after it is not.
    int is_option = strcasecmp(argv[i], "-trace") == 0 || strcasecmp(argv[i], "-t") == 0;
    if (is_option && i + 1 < argc) set_trace_file(argv[i + 1]);
    load_definition_file(argv[i]);
    if (is_option && i + 1 < argc) i++;
  }
  worker_trace("before read configuration");
  if (!FS.readConfiguration()) {
    worker_trace("Failed to read formula_files.\n");
    exit(0);
  }
  worker_trace("after read configuration");
}

// The end of a worker whose server has gone, while call threads may still
// run: exit() would run the static destructors (the registry, the task
// table's PVM teardown) under their feet. What was written is kept; the
// daemon notices the task's end by itself.
[[noreturn]] void end_serving(int status) {
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

// One call-start message: the server's task id, the call's tag, the server's
// function key, the module and the function.
struct CallStart {
  int task_id;
  int msg_tag;
  char key[NAME_SIZE];
  char module[NAME_SIZE];
  char function[NAME_SIZE];
  int rc;
};

// pvm_upkstr has no length limit: each string goes through a scratch buffer
// as large as the whole message, then is cut to its field.
void unpack_call_start(void* arg) {
  CallStart* c = static_cast<CallStart*>(arg);
  int bytes = 0, tag = 0, from = 0;
  c->rc = pvm_bufinfo(pvm_getrbuf(), &bytes, &tag, &from);
  if (c->rc < 0 || bytes < 0) return;
  std::string scratch(static_cast<size_t>(bytes) + 1, '\0');
  char* fields[] = {c->key, c->module, c->function};
  if ((c->rc = pvm_upkint(&c->task_id, 1, 1)) < 0) return;
  if ((c->rc = pvm_upkint(&c->msg_tag, 1, 1)) < 0) return;
  for (char* field : fields) {
    if ((c->rc = pvm_upkstr(&scratch[0])) < 0) return;
    snprintf(field, NAME_SIZE, "%s", scratch.c_str());
  }
}

void start_call(int parent, const CallStart& start) {
  DataExchange* de = new DataExchange();
  de->SetModuleName(start.module);
  de->SetFunctionName(start.function);
  de->SetPVMKey(start.key);
  de->SetPvmTaskId(parent);
  de->SetPvmMsgTag(start.msg_tag);
  de->SetDataServiceType(PVM_SLAVE_SERVICE);
  char module[NAME_SIZE], function[NAME_SIZE];
  snprintf(module, sizeof module, "%s", start.module);
  snprintf(function, sizeof function, "%s", start.function);
  REMFUN stub = FS.getRemoteFunction(module, function);
  PvmSlaveThread* call =
      new PvmSlaveThread(de, start.module, start.function, stub, &FS.thread_status_manager);
  pthread_t thread;
  if (pthread_create(&thread, NULL, pvm_slave_call, call) != 0) {
    worker_trace("error creating a slave thread...");
    // The server's relay waits for this call; release it.
    refuse_call(de);
    delete call;
    return;
  }
  pthread_detach(thread);
}

void serve(void) {
  int parent;
  {
    PvmBufferScope scope;
    parent = pvm_parent();
  }
  if (parent <= 0) {
    // Not started by PVM (or no daemon): there is nobody to serve.
    worker_trace("pvm_pstat is not okay.. returned status = %d, exiting...", parent);
    end_serving(0);
  }
  // Workers of several hosts may share one trace file: say which one this is.
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  worker_trace("worker task t%x (pid %d) on host %s serves t%x", pvm_thread_mytid(), (int)getpid(),
               host, parent);
  for (;;) {
    worker_trace("Waiting for message from server...");
    CallStart start = {};
    // Polls without holding the library, and ends when the parent is gone.
    int rc = pvm_thread_recv(parent, 0, -1, unpack_call_start, &start);
    if (rc < 0) {
      worker_trace("pvm_pstat is not okay.. returned status = %d, exiting...", rc);
      end_serving(0);
    }
    if (start.rc < 0) {
      worker_trace("malformed call-start message (%d), ignored", start.rc);
      continue;
    }
    {
      PvmBufferScope scope;
      start.task_id = pvm_parent();
    }
    if (start.module[0] == '\0' && strcmp(start.function, PVM_STOP_CALL) == 0) {
      int found = FS.thread_status_manager.terminate_thread(start.key);
      worker_trace("stop request for %s: %s", start.key, found ? "stopping" : "not running");
      continue;
    }
    worker_trace("received a request %s  %s", start.module, start.function);
    start_call(parent, start);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    printf(
        "Usage: pvm_worker [-t trace_file] definition_file ...\n"
        "Runs the calls of a Velmord worker process as a PVM task; Velmord starts it\n"
        "through VELMOR_BIN_DIR/Velmor.sh, which passes the definition files listed in\n"
        "VELMOR_DEFINITION_FILES (one per line) and VELMOR_PVM_TRACE as the trace file.\n"
        "Builds and loads the stubs of the files like Velmord (VELMOR_BIN_DIR,\n"
        "VELMOR_LOG_DIR), then serves call-start messages of its parent task.\n");
    return 0;
  }
  // Whatever a stub or library prints survives the task's end by a signal.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  start_up(argc, argv);
  serve();
  return 0;
}
