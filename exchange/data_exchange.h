// The call channel: one DataExchange carries one call of a declared function,
// thread or live thread between the client (or the PVM worker) and the
// generated stub. Every value travels as text: on a socket one line per value,
// over PVM one packed string per message. The stub only ever talks to this
// object; its data service type decides where the texts go.
//
// Phases of a call as a stub sees them:
//   receive_and_unpack per argument, done_with_arguments,
//   plain function: pack_and_send per outbound argument and the result,
//                   done_with_result;
//   thread/stream:  break_connection, then either the scalar path
//                   (SetScalarThread / SetScalarStream, prefixed values,
//                   EndScalarStream) or one make_connection per delivery
//                   followed by pack_and_send and done_with_result.
//
// Unless stated otherwise an operation returns 1 for success, 0 for failure.
#ifndef VELMOR_EXCHANGE_DATA_EXCHANGE_H_
#define VELMOR_EXCHANGE_DATA_EXCHANGE_H_

#include <netinet/in.h>
#include <pthread.h>

#include <string>

#include "execution_model.h"
#include "remfun.h"

enum DataServiceType {
  SOCKET_SERVICE = 0,     // the stub runs here and talks to the client on sd
  PVM_PROXY_SERVICE = 1,  // the stub relays between the client and a PVM worker
  PVM_SLAVE_SERVICE = 2   // the stub runs in the PVM worker, talking to the server
};

// Values of CallbackInfo::return_type: how values are framed and acknowledged.
enum {
  RETURN_SCALAR_STREAM = 1,  // "#STREAM_key=value" on the stream connection
  RETURN_PLAIN = 2,          // the value alone, acknowledged by the client
  RETURN_SCALAR_THREAD = 3   // "#THREAD_key=value" on the stream connection
};

enum { UNIT_DATA_SIZE = 1024, CALLBACK_NAME_SIZE = 512 };

// The function of the call-start message that stops a running call on the
// worker; its module is empty, which no published function has.
#define PVM_STOP_CALL "stop_thread"

// The marker of a worker's delivery text "#STREAM_key~0": the delivery just
// sent is complete, so the proxy closes its client connection at once. Never
// sent to a client.
enum { DELIVERY_END_MARKER = 0 };

struct ClientInfo;

// Thrown by done_with_arguments when the call's client ended the conversation
// before every argument and the end-of-arguments line arrived: the stub is
// left before it loads or calls the user's function. Whoever runs a stub
// catches it; the channel has already let the client go.
class CallAbandoned {
 public:
  virtual ~CallAbandoned();
};

// Where and how to call the client back.
struct CallbackInfo {
  char module_name[CALLBACK_NAME_SIZE];
  char function_key[CALLBACK_NAME_SIZE];
  char pvm_key[CALLBACK_NAME_SIZE];
  unsigned int call_count;
  sockaddr_in ClientAddr;  // client's IPv4 address
  int port;                // client's call-back port (host order)
  int execution_type;      // 0 plain, 1 thread, 2 live thread
  int return_type;         // RETURN_*
};

class DataExchange {
 public:
  char unit_data[UNIT_DATA_SIZE];  // text of the value being sent / line just read
  int sd;                          // channel socket, 0 = none
  CallbackInfo cinfo;
  pthread_t thread_id;             // thread that last built the function key
  DataServiceType data_service_type;
  int pvm_task_id;                 // PVM task at the other end
  int pvm_msg_tag;                 // tag of this call's data messages
  void* thread_status_node;        // the call's ThreadStatusNode, or null
  REMFUN ptr;                      // stub run by the call thread
  pthread_mutex_t mut;             // hand-back of the request socket; both are
  pthread_cond_t cond;             // made and destroyed with the object

  // Set while a scalar path uses the client's shared stream connection: writes
  // go through the entry so that they are serialised and a dead connection is
  // never written to again.
  ClientInfo* stream_client;
  // Per-user hand-back: set by the request thread (under mut) once it has left
  // its wait, so the call thread knows when mut and cond may be destroyed.
  int request_released;
  // Set by release_request_thread: this call's client has been let go.
  int client_released;
  // Set once a value of a thread or live thread could not be delivered; from
  // then on the call delivers nothing more (see lose_delivery).
  int delivery_lost;
  // Set when the conversation on sd ended before the call was through with it
  // (the client closed or failed mid-line or let a time limit pass; on a
  // PVM worker, the proxy said so). From then on nothing more is read from
  // or written to that connection; a new call-back connection starts afresh.
  int conversation_over;

  DataExchange();
  ~DataExchange();
  DataExchange(const DataExchange&) = delete;
  DataExchange& operator=(const DataExchange&) = delete;

  // Accessors.
  DataServiceType GetDataServiceType() const { return data_service_type; }
  DataServiceType SetDataServiceType(DataServiceType type) { return data_service_type = type; }
  int SetPvmTaskId(int id) { return pvm_task_id = id; }
  int SetPvmMsgTag(int tag) { return pvm_msg_tag = tag; }
  void SetSd(int socket) { sd = socket; }
  void SetRBridgePort(int port) { cinfo.port = port; }
  void SetClientAddr(sockaddr_in addr) { cinfo.ClientAddr = addr; }
  void SetExecutionType(int type) { cinfo.execution_type = type; }
  int GetReturnType() const { return cinfo.return_type; }
  void SetThreadStatusNode(void* node) { thread_status_node = node; }
  void* GetThreadStatusNode() const { return thread_status_node; }
  void SetModuleName(const char* name);  // truncated to fit
  char* GetModuleName() { return cinfo.module_name; }
  char* GetFunctionKey() { return cinfo.function_key; }
  char* GetPVMKey() { return cinfo.pvm_key; }
  void SetPVMKey(const char* key);  // null leaves the key unchanged
  char* get_buffer() { return unit_data; }
  // Closes sd when it is not 0 and sets it to 0. Returns 1.
  int close_connection();

  // Keys and tags. The key is "%s_%u_%u_%lu": name (or the module name when
  // null), a per-process call number, the process id and the thread id.
  void SetFunctionKey(const char* name);
  // 1, 2, 3, ... per process, wrapping to 1; never 0 (the call-start tag).
  static int GetNewPvmMsgTag();
  // The worker swaps the server's key and its own.
  void SwapKeys();

  // Socket operations.
  char* receive_data(int ack);
  int send_data(int ack);
  int send_data(const char* text, int ack);

  // PVM operations (data_exchange_pvm.cpp).
  int PvmCallStart(const char* function_name);
  // Proxy of a call the client stopped: asks the worker to stop its side of
  // the call too, with a call-start message for PVM_STOP_CALL (empty module)
  // that carries the call's key. 0 when the call has no worker any more.
  int PvmStopCall();
  int PvmSend(const char* text);
  char* PvmReceive();
  // Proxy: tells the worker that the call's client left before the call
  // began (a signal no argument text can imitate); its side ends the call
  // without running it. Sent at most once.
  int PvmAbandonCall();
  // Proxy only: relays the worker's next text to the client and stores its
  // number in *number (atoi). Returns the send result, or 0 when the worker
  // could not be heard or the client not reached.
  int relay_unit(int* number);

  // The socket part of make_connection: connects to the client and sends
  // "#THREAD_%s~%d" / "#STREAM_%s~%d".
  __attribute__((noinline)) int open_client_connection(int marker);
  // make_connection on PVM channels (data_exchange_pvm.cpp): the worker sends
  // the marker as a PVM text instead of connecting; the proxy relays the
  // worker's deliveries to the client.
  int PvmMakeConnection(int marker);

  // Phases of a call. done_with_arguments reads the end-of-arguments line
  // (on a PVM worker: the proxy's text for it) and throws CallAbandoned when
  // the conversation ended before it arrived whole.
  int done_with_arguments();
  int done_with_result();
  int break_connection(int kind);
  int make_connection(int marker);

  // The end of one Send of a live thread: closes the delivery's own
  // connection (the worker tells its proxy instead, with the marker
  // DELIVERY_END_MARKER). Returns 1 when every unit of the delivery went
  // through, else lose_delivery().
  int end_delivery();
  // A value could not be delivered: the call is ended at its next safe point
  // as if its client had stopped it (a call that is not registered, and so
  // cannot be stopped, just delivers nothing more). Returns 0.
  int lose_delivery();
  // Proxy: the client missed a relayed value. Ends the call as lose_delivery
  // does, at once; unstoppable, it asks the worker to stop. Returns 0.
  int end_lost_relay();

  // Scalar call-back path over the client's stream connection.
  int SetScalarStream();
  int SetScalarThread();
  int EndScalarStream();

  // 1 while the channel can still carry units (containers stop reading when
  // it cannot, instead of spinning on a dead connection).
  int is_open() const;

  // Per-user hand-back of the request socket: clears working_thread and
  // signals cond under mut.
  void release_request_thread();

  // Process-wide counters, advanced atomically.
  static unsigned int counter;
  static int msg_tag;

 private:
  void lose_conversation(int rc);
  int set_scalar_path(int return_type);
  int send_unit(const char* text);
};

// Call-back connections (the stream connection and the connection of a
// delivery) give up on a client that takes no byte of a line, or sends no
// acknowledgement, for this long: the client is then treated as gone, and a
// stop request reaches the call's next safe point within this time.
enum { CALLBACK_TIME_LIMIT_SECONDS = 2 };
void limit_callback_waits(int sock);

// 1 while the per-user request thread waits for a new call thread to release
// the client; one per process.
extern int working_thread;

// Where a stopped call ends. The request protocol runs stubs with
// cancellation disabled; a stop request (or a stub's own pthread_cancel)
// takes effect only here, at the start of each delivery operation, so a call
// never ends inside the user's code or with a lock held.
void call_safe_point();

// Scalar values. pack_and_send formats the value as its text (a prefixed form
// on the scalar call-back path) and sends it; it returns the send result (> 0
// on success) or 0 for an unknown service type. A double or float is written
// as the shortest text that reads back to the same value. receive_and_unpack
// reads one text and converts it, numbers independently of the locale; it
// returns 1. `dimension` is ignored for scalars.
int pack_and_send(DataExchange* de, const std::string& value, int dimension = 0);
int pack_and_send(DataExchange* de, const char*& value, int dimension = 0);
int pack_and_send(DataExchange* de, char*& value, int dimension = 0);
// For C-string members inside a record's const pack_and_send.
int pack_and_send(DataExchange* de, char* const& value, int dimension = 0);
int pack_and_send(DataExchange* de, const char* const& value, int dimension = 0);
int pack_and_send(DataExchange* de, const double& value, int dimension = 0);
int pack_and_send(DataExchange* de, const float& value, int dimension = 0);
int pack_and_send(DataExchange* de, const long& value, int dimension = 0);
int pack_and_send(DataExchange* de, const int& value, int dimension = 0);
// A single character: its one-character text, '\0' as the empty text.
int pack_and_send(DataExchange* de, const char& value, int dimension = 0);

// A received C string is a strdup copy that belongs to the caller.
int receive_and_unpack(DataExchange* de, std::string& value, int dimension = 0);
int receive_and_unpack(DataExchange* de, char*& value, int dimension = 0);
int receive_and_unpack(DataExchange* de, double& value, int dimension = 0);
int receive_and_unpack(DataExchange* de, float& value, int dimension = 0);
int receive_and_unpack(DataExchange* de, long& value, int dimension = 0);
int receive_and_unpack(DataExchange* de, int& value, int dimension = 0);
// The first character of the text; the empty text gives '\0'.
int receive_and_unpack(DataExchange* de, char& value, int dimension = 0);

#endif
