// The client request protocol: one request line in, its reply out, and the
// start of a function call on the call channel.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <new>
#include <string>

#include "data_exchange.h"
#include "definition_paths.h"
#include "df_interface.h"
#include "formula_manager.h"
#include "line_transport.h"
#include "pvm_buffers.h"
#include "stop_forwarding.h"
#include "tarrow.h"
#include "thread_status_manager.h"
#include "wrapper_directory.h"
#include "wrapper_reader.h"

// Given to the cancellation handler of a call in the pool model.
struct CleanupHandlerData {
  int socket;  // the conversation's socket
  ExecutionType execution_type;
  DataExchange* data_exchange;
  HCStruct* hc_struct;  // so a closed conversation socket is never closed again
};

void* my_thread_call(void* data_exchange);
void process_per_user_thread_cleanup(void* data_exchange);
void process_pool_thread_cleanup(void* cleanup_data);

namespace {

enum { FILE_READ_LIMIT = 511, PATH_SIZE = 1024, ACK_SIZE = 7, RETRY_SECONDS = 60 };

// Fields of one request line, split in place. The position belongs to the
// call, so concurrent requests never share tokenizer state.
class RequestLine {
 public:
  explicit RequestLine(char* data) : rest_(data) {}

  // The next field up to "~" or the end; null when the line is used up.
  char* next() {
    if (rest_ == nullptr) return nullptr;
    char* field = rest_;
    char* tilde = strchr(rest_, '~');
    if (tilde != nullptr) {
      *tilde = '\0';
      rest_ = tilde + 1;
    } else {
      rest_ = nullptr;
    }
    return field;
  }
  // Everything after the command word, "~" included; null when nothing.
  char* rest() {
    char* r = rest_;
    rest_ = nullptr;
    return r;
  }

 private:
  char* rest_;
};

int number_of(const char* field) { return field == nullptr ? 0 : atoi(field); }
bool absent(const char* field) { return field == nullptr || *field == '\0'; }

// The pool's answer to a command it does not know: "__DONE__", then one
// acknowledgement line. A socket that fails is closed.
void send_done_and_ack(HCStruct* hc) {
  char ack[ACK_SIZE + 1];
  if (SEND_LINE(*hc, "__DONE__") >= 1 && receive_line(hc->sock_desc, ack, sizeof(ack)) >= 1) return;
  if (hc->sock_desc != 0) close(hc->sock_desc);
  hc->sock_desc = 0;
}

// Runs a stub; a call whose client left before its arguments were through
// ends here, before the user's function (the channel has let the client go).
void run_stub(REMFUN entry, DataExchange* de) {
  try {
    entry(de);
  } catch (const CallAbandoned&) {
  }
}

// Opens a file to be served for reading, never through a symbolic link: a
// link placed among the served files must not hand out what it points to.
FILE* open_served_file(const char* path) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat status;
  FILE* file = nullptr;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}

// Line n (from 1) of a file, read anew for every request.
void serve_file_line(HCStruct* hc, const char* path, int n) {
  FILE* file = open_served_file(path);
  if (file == nullptr) {
    SEND_LINE(*hc, "__ERR__");
    return;
  }
  char line[FILE_READ_LIMIT + 1];
  int count = 0;
  bool found = false;
  while (n >= 1 && fgets(line, FILE_READ_LIMIT, file) != nullptr) {
    if (++count == n) {
      found = true;
      break;
    }
  }
  fclose(file);
  if (!found) {
    SEND_LINE(*hc, "__OVER__");
    return;
  }
  line[strcspn(line, "\r\n")] = '\0';
  SEND_LINE(*hc, line[0] == '\0' ? " " : line);
}

// A VBA module name the client may ask for: no path separators, no "..", only
// the characters of module names.
bool is_safe_module_name(const char* name) {
  if (absent(name) || strstr(name, "..") != nullptr) return false;
  for (const char* p = name; *p != '\0'; p++) {
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

const char* wrapper_dir() {
  if (wrapper_directory != nullptr && wrapper_directory[0] != '\0') return wrapper_directory;
  const char* env = getenv("VELMOR_LOG_DIR");
  return env != nullptr && env[0] != '\0' ? env : "./wrapper";
}

Formula* nth_formula(Formula* list, int n) {
  if (n < 1) return nullptr;
  for (int i = 1; list != nullptr && i < n; i++) list = list->next;
  return list;
}

Node* nth_node(Node* list, int n) {
  if (n < 1) return nullptr;
  for (int i = 1; list != nullptr && i < n; i++) list = list->next;
  return list;
}

// Formula operations keep process-wide state: one at a time per process,
// and the rewritten text is copied out before the next may start.
pthread_mutex_t formula_lock = PTHREAD_MUTEX_INITIALIZER;

// The module a catalogue request names; null once the client has been
// answered "__OVER__" (nothing loaded) or "__ERR__" (no such module, after
// printing note when there is one).
FormulaManager* requested_module(Tarrow* server, HCStruct* hc, char* module, const char* note) {
  if (server->fm_list == nullptr) {
    SEND_LINE(*hc, "__OVER__");
    return nullptr;
  }
  FormulaManager* fm = find_module(server->fm_list, module == nullptr ? "" : module);
  if (fm == nullptr) {
    if (note != nullptr) printf("%s", note);
    SEND_LINE(*hc, "__ERR__");
  }
  return fm;
}

// The four populate commands. `generators` picks the GENERATORS list,
// `rewritten` answers the formula text instead of the qualified name.
void populate(Tarrow* server, HCStruct* hc, RequestLine& fields, bool generators,
              bool rewritten) {
  char* module = fields.next();
  int n = number_of(fields.next());
  FormulaManager* fm = requested_module(server, hc, module, nullptr);
  if (fm == nullptr) return;
  Formula* f = nth_formula(generators ? fm->gstart : fm->fstart, n);
  if (f == nullptr) {
    SEND_LINE(*hc, "__OVER__");
    return;
  }
  if (!rewritten) {
    std::string reply = std::string(fm->formula_name) + "." + (f->usageName ? f->usageName : "");
    SEND_LINE(*hc, reply.c_str());
    return;
  }
  if (absent(f->appName)) {
    SEND_LINE(*hc, " ");
    return;
  }
  std::string text;
  bool failed = false;
  pthread_mutex_lock(&formula_lock);
  try {
    text = objectify_an_entry(fm->formula_name, f->usageName, generators ? 1 : 0);
  } catch (...) {
    failed = true;
  }
  pthread_mutex_unlock(&formula_lock);
  if (failed)
    SEND_LINE(*hc, "__ERR__");
  else
    SEND_LINE(*hc, text.empty() ? " " : text.c_str());
}

void serve_module(Tarrow* server, HCStruct* hc, RequestLine& fields) {
  char* module = fields.next();
  int k = number_of(fields.next());
  int n = number_of(fields.next());
  FormulaManager* fm = requested_module(server, hc, module, "????? sending DATA_ERR!\n");
  if (fm == nullptr) return;
  Node* file = nth_node(fm->mstart, k);
  if (file == nullptr || file->data == nullptr || n < 1) {
    SEND_LINE(*hc, "__OVER__");
    return;
  }
  char path[PROTOFILE_NAME_SIZE];
  if (!resolve_definition_path(fm->protofile_name, file->data, path, sizeof(path))) {
    SEND_LINE(*hc, "__ERR__");
    return;
  }
  serve_file_line(hc, path, n);
}

void serve_wrapper(HCStruct* hc, RequestLine& fields) {
  char* name = fields.next();
  int n = number_of(fields.next());
  char path[PATH_SIZE];
  if (!is_safe_module_name(name) ||
      snprintf(path, sizeof(path), "%s/%s.bas", wrapper_dir(), name) >= (int)sizeof(path)) {
    SEND_LINE(*hc, "__ERR__");
    return;
  }
  serve_file_line(hc, path, n);
}

void give_module(Tarrow* server, HCStruct* hc, RequestLine& fields) {
  int n = number_of(fields.next());
  FormulaManager* fm = server->fm_list;
  for (int i = 1; fm != nullptr && i < n; i++) fm = fm->next;
  if (n < 1 || fm == nullptr) {
    SEND_LINE(*hc, "__OVER__");
    return;
  }
  SEND_LINE(*hc, fm->formula_name);
}

void give_definition(HCStruct* hc, RequestLine& fields) {
  char* book = fields.next();
  int n = number_of(fields.next());
  int count = 0;
  for (Llist<DefnLine*>* d = definitions; book != nullptr && n >= 1 && d != nullptr; d = d->next) {
    if (d->data == nullptr || strcasecmp(d->data->book, book) != 0) continue;
    if (++count == n) {
      char reply[DEFN_LINE_SIZE + 16];
      snprintf(reply, sizeof(reply), "%d~%s", d->data->type, d->data->line);
      SEND_LINE(*hc, reply);
      return;
    }
  }
  SEND_LINE(*hc, "__OVER__");
}

bool on_main_thread() { return syscall(SYS_gettid) == getpid(); }

// Tells the client that a call it stopped has ended, where the client
// expects to hear it: the end text on the stream connection, or the end
// connection of a live thread that delivered over connections of its own.
void announce_stopped_call(DataExchange* de) {
  if (de->GetReturnType() == RETURN_SCALAR_STREAM) {
    snprintf(de->get_buffer(), UNIT_DATA_SIZE, "#STREAM_%s", de->GetFunctionKey());
    de->send_data(1);
  } else if (de->GetReturnType() == RETURN_PLAIN && de->cinfo.execution_type == 2) {
    de->close_connection();
    // Not make_connection: on a proxy that would relay the worker's deliveries.
    if (de->open_client_connection(-1)) de->close_connection();
  }
}

bool stopped_by_client(DataExchange* de) {
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(de->GetThreadStatusNode());
  return node != nullptr && node->was_stopped();
}

bool uses_stream_connection(DataExchange* de) {
  int rt = de->GetReturnType();
  return rt == RETURN_SCALAR_STREAM || rt == RETURN_SCALAR_THREAD;
}

// The end of a per-user call thread, normal or cancelled (cancellation is
// off here). The request thread is released if the stub never did it, and
// mut, cond and the channel go only after that thread has left its wait.
void finish_per_user_call(DataExchange* de, bool cancelled) {
  pthread_mutex_lock(&de->mut);
  int released = de->client_released;
  pthread_mutex_unlock(&de->mut);
  if (!released) {
    // sd is still the request socket: the client's connection ends here.
    de->close_connection();
    de->release_request_thread();
  }
  if (cancelled && stopped_by_client(de)) {
    announce_stopped_call(de);
    // Otherwise the worker runs the call to its end, sending values that
    // nobody collects any more.
    if (de->GetDataServiceType() == PVM_PROXY_SERVICE) de->PvmStopCall();
  }

  pthread_mutex_lock(&de->mut);
  while (!de->request_released) pthread_cond_wait(&de->cond, &de->mut);
  pthread_mutex_unlock(&de->mut);

  if (!uses_stream_connection(de)) de->close_connection();
  if (de->GetDataServiceType() == PVM_PROXY_SERVICE) pvm_pthread_exit();
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(de->GetThreadStatusNode());
  if (node != nullptr) node->terminated();
  delete de;
}

PROCESS_REQUEST_STATUS start_per_user_call(Tarrow* server, HCStruct* hc, DataExchange* de,
                                           REMFUN entry, char* module, char* function) {
  de->SetDataServiceType(hc->pvm_id < 1 ? SOCKET_SERVICE : PVM_PROXY_SERVICE);
  if (server->find_execution_type(module, function) == EXECUTE_AS_FUNCTION) {
    de->SetExecutionType(EXECUTE_AS_FUNCTION);
    run_stub(entry, de);
    // The channel closes the socket when it fails.
    if (de->sd != hc->sock_desc) hc->sock_desc = 0;
    delete de;
    return PROCESS_COMPLETED;
  }

  de->ptr = entry;
  de->SetThreadStatusNode(server->thread_status_manager.get_thread_status_node(de));
  pthread_t thread;
  for (;;) {
    pthread_mutex_lock(&de->mut);
    working_thread = 1;
    int rc = pthread_create(&thread, nullptr, my_thread_call, de);
    if (rc == 0) break;
    if (rc == EAGAIN)
      fprintf(stderr, "Not enough resources to create a process for the new thread. Will try after 1 mins\n");
    else
      fprintf(stderr, "Error creating pthread. return status = %d\n", rc);
    pthread_mutex_unlock(&de->mut);
    sleep(RETRY_SECONDS);
  }
  // The call's own flag decides: working_thread is process-wide.
  while (!de->client_released) pthread_cond_wait(&de->cond, &de->mut);
  de->request_released = 1;
  pthread_cond_broadcast(&de->cond);
  pthread_mutex_unlock(&de->mut);
  // From here on the call thread owns the channel; the request socket was
  // closed when the client was released.
  pthread_detach(thread);
  hc->sock_desc = 0;
  return PROCESS_COMPLETED;
}

// After a pool call returned: the conversation socket stays the connection
// thread's only while the channel still holds it and never released it.
void finish_pool_call(CleanupHandlerData* data) {
  DataExchange* de = data->data_exchange;
  bool request_gone = de->cinfo.execution_type != 0 || de->sd != data->socket;
  if (de->sd != 0 && de->sd != data->socket && !uses_stream_connection(de)) de->close_connection();
  if (request_gone) data->hc_struct->sock_desc = 0;
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(de->GetThreadStatusNode());
  if (node != nullptr) node->terminated();
  delete de;
}

PROCESS_REQUEST_STATUS start_pool_call(Tarrow* server, HCStruct* hc, DataExchange* de,
                                       REMFUN entry, char* module, char* function) {
  ExecutionType execution_type = server->find_execution_type(module, function);
  de->SetExecutionType(EXECUTE_AS_FUNCTION);
  // A call on the process's only thread is never registered: stopping it
  // would end the process's service.
  if (execution_type != EXECUTE_AS_FUNCTION && !on_main_thread())
    de->SetThreadStatusNode(server->thread_status_manager.get_thread_status_node(de));
  CleanupHandlerData data = {hc->sock_desc, execution_type, de, hc};
  // Stops take effect only at the channel's safe points (call_safe_point).
  // Cancellation stays off afterwards: a stop that came too late for the
  // call (or a stub's own cancel it never reached) must not end the
  // connection thread somewhere in its own teardown.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_cleanup_push(process_pool_thread_cleanup, &data);
  run_stub(entry, de);
  pthread_cleanup_pop(0);
  finish_pool_call(&data);
  return PROCESS_COMPLETED;
}

PROCESS_REQUEST_STATUS start_function(Tarrow* server, HCStruct* hc, RequestLine& fields) {
  char* module = fields.next();
  char* function = fields.next();
  char* port = fields.next();
  char* stamp = fields.next();
  if (absent(module) || absent(function)) {
    return PROCESS_COMPLETED;
  }
  if (stamp == nullptr || !server->IsProtoConsistent(module, stamp)) {
    SEND_LINE(*hc, "_OUT_OF_DATE_");
    return PROCESS_COMPLETED;
  }
  REMFUN entry = server->getRemoteFunction(module, function);
  if (entry == nullptr) {
    fprintf(stderr, "Unable to get the function %s in the Library %s\n", function, module);
    return PROCESS_COMPLETED;
  }
  DataExchange* de = new (std::nothrow) DataExchange();
  if (de == nullptr) {
    fprintf(stderr, "Memory allocation failure, while allocating a DataExchange for %s\n", function);
    return PROCESS_COMPLETED;
  }
  de->SetSd(hc->sock_desc);
  de->SetRBridgePort(number_of(port));
  de->SetClientAddr(hc->ClientAddr);
  de->SetModuleName(module);
  de->SetFunctionKey(module);
  de->SetPvmTaskId(hc->pvm_id);
  de->SetPvmMsgTag(DataExchange::GetNewPvmMsgTag());
  if (SEND_LINE(*hc, "__OK__") < 1) {
    delete de;
    return PROCESS_COMPLETED;
  }
  if (execution_model == PROCESS_PER_USER) return start_per_user_call(server, hc, de, entry, module, function);
  return start_pool_call(server, hc, de, entry, module, function);
}

}  // namespace

void* my_thread_call(void* data_exchange) {
  DataExchange* de = static_cast<DataExchange*>(data_exchange);
  // Stops take effect only at the channel's safe points (call_safe_point).
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  pthread_cleanup_push(process_per_user_thread_cleanup, de);
  de->SetFunctionKey(nullptr);
  run_stub(de->ptr, de);
  pthread_cleanup_pop(0);
  finish_per_user_call(de, false);
  return nullptr;
}

void process_per_user_thread_cleanup(void* data_exchange) {
  finish_per_user_call(static_cast<DataExchange*>(data_exchange), true);
}

void process_pool_thread_cleanup(void* cleanup_data) {
  CleanupHandlerData* data = static_cast<CleanupHandlerData*>(cleanup_data);
  DataExchange* de = data->data_exchange;
  bool stopped = stopped_by_client(de);
  if (uses_stream_connection(de)) {
    fprintf(stderr, "process_per_user_thread_cleanup ---- SCALAR\n");
    if (stopped) announce_stopped_call(de);
  } else {
    bool request_socket = de->sd != 0 && de->sd == data->socket;
    de->close_connection();
    if (request_socket || de->cinfo.execution_type != 0) data->hc_struct->sock_desc = 0;
    if (stopped) announce_stopped_call(de);
  }
  if (de->cinfo.execution_type != 0) data->hc_struct->sock_desc = 0;
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(de->GetThreadStatusNode());
  if (node != nullptr) node->terminated();
  delete de;
}

PROCESS_REQUEST_STATUS Tarrow::ProcessRequest(HCStruct* hc_struct, char* data) {
  RequestLine fields(data);
  const char* command = fields.next();
  if (command == nullptr) command = "";

  if (strcasecmp(command, "populate_formula") == 0) {
    populate(this, hc_struct, fields, false, false);
  } else if (strcasecmp(command, "populate_appname") == 0) {
    populate(this, hc_struct, fields, false, true);
  } else if (strcasecmp(command, "populate_genusage") == 0) {
    populate(this, hc_struct, fields, true, false);
  } else if (strcasecmp(command, "populate_genappname") == 0) {
    populate(this, hc_struct, fields, true, true);
  } else if (strcasecmp(command, "module") == 0) {
    serve_module(this, hc_struct, fields);
  } else if (strcasecmp(command, "wrapper") == 0) {
    serve_wrapper(hc_struct, fields);
  } else if (strcasecmp(command, "givefm") == 0) {
    give_module(this, hc_struct, fields);
  } else if (strcasecmp(command, "givemedefn") == 0) {
    give_definition(hc_struct, fields);
  } else if (strcasecmp(command, "stop_thread") == 0) {
    char* key = fields.rest();
    SEND_LINE(*hc_struct, "__OK__");
    const char* target = key == nullptr ? "" : key;
    // The call may run in another pool worker than the one this reached.
    if (!forward_stop(target)) thread_status_manager.terminate_thread(target);
  } else if (strcasecmp(command, "CHECK_UPD_TIME") == 0) {
    char* module = fields.next();
    char* stamp = fields.next();
    bool current = module != nullptr && stamp != nullptr && IsProtoConsistent(module, stamp);
    SEND_LINE(*hc_struct, current ? "__OK__" : "_OUT_OF_DATE_");
    return PROCESS_COMPLETED;
  } else if (strcasecmp(command, "GET_UPD_TIME") == 0) {
    char* module = fields.rest();
    char stamp[TIME_STAMP_SIZE];
    if (module != nullptr && GetProtoTimeStamp(module, stamp) > 0)
      SEND_LINE(*hc_struct, stamp);
    else
      SEND_LINE(*hc_struct, "__ERR__");
    return PROCESS_COMPLETED;
  } else if (strcasecmp(command, "START_FUNCTION") == 0) {
    return start_function(this, hc_struct, fields);
  } else if (strcasecmp(command, "__CLOSE__") == 0) {
    return PROCESS_COMPLETED;
  } else {
    fprintf(stderr, "SOME GARBAGE in ProcessRequest : %s\n", command);
    // A per-user client has always seen its connection end here.
    if (execution_model == PROCESS_PER_USER) return PROCESS_COMPLETED;
    send_done_and_ack(hc_struct);
  }
  return PROCESS_CONTINUES;
}
