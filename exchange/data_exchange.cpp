#include "data_exchange.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "line_transport.h"
#include "stream_clients.h"
#include "thread_status_manager.h"

DataExchange::DataExchange()
    : sd(0),
      thread_id(pthread_self()),
      data_service_type(SOCKET_SERVICE),
      pvm_task_id(0),
      pvm_msg_tag(0),
      thread_status_node(nullptr),
      ptr(nullptr),
      stream_client(nullptr),
      request_released(0),
      client_released(0),
      delivery_lost(0),
      conversation_over(0) {
  unit_data[0] = '\0';
  memset(&cinfo, 0, sizeof(cinfo));
  cinfo.ClientAddr.sin_family = AF_INET;
  cinfo.return_type = RETURN_PLAIN;
  // Initialised here and destroyed with the object, so that every path (plain
  // call, call thread, cancellation clean-up) may use them and none destroys
  // them twice.
  pthread_mutex_init(&mut, nullptr);
  pthread_cond_init(&cond, nullptr);
}

CallAbandoned::~CallAbandoned() {}

DataExchange::~DataExchange() {
  pthread_cond_destroy(&cond);
  pthread_mutex_destroy(&mut);
}

void limit_callback_waits(int sock) {
  timeval limit = {CALLBACK_TIME_LIMIT_SECONDS, 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

void DataExchange::SetModuleName(const char* name) {
  snprintf(cinfo.module_name, sizeof(cinfo.module_name), "%s", name == nullptr ? "" : name);
}

void DataExchange::SetPVMKey(const char* key) {
  if (key != nullptr) snprintf(cinfo.pvm_key, sizeof(cinfo.pvm_key), "%s", key);
}

int DataExchange::close_connection() {
  if (sd != 0) {
    // The shared stream connection belongs to its entry, never to one call.
    if (stream_client == nullptr) close(sd);
    sd = 0;
  }
  stream_client = nullptr;
  return 1;
}

void DataExchange::SetFunctionKey(const char* name) {
  thread_id = pthread_self();
  unsigned int number = __atomic_add_fetch(&counter, 1u, __ATOMIC_RELAXED);
  char prefix[CALLBACK_NAME_SIZE];
  snprintf(prefix, sizeof(prefix), "%s", name != nullptr ? name : cinfo.module_name);
  // The prefix is cut so that the three numbers always fit: a key stays unique.
  snprintf(cinfo.function_key, sizeof(cinfo.function_key), "%.460s_%u_%u_%lu", prefix, number,
           static_cast<unsigned>(getpid()), static_cast<unsigned long>(thread_id));
}

int DataExchange::GetNewPvmMsgTag() {
  int current = __atomic_load_n(&msg_tag, __ATOMIC_RELAXED);
  for (;;) {
    int next = current >= 0x7fffffff || current < 0 ? 1 : current + 1;
    if (__atomic_compare_exchange_n(&msg_tag, &current, next, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED))
      return next;
  }
}

int DataExchange::is_open() const {
  call_safe_point();
  if (conversation_over) return 0;
  if (data_service_type == PVM_SLAVE_SERVICE) return 1;
  return sd > 0 ? 1 : 0;
}

// One line on sd; on the shared stream connection through its entry. Never
// writes to descriptor 0 (that is "no connection", not standard input).
int DataExchange::send_unit(const char* text) {
  if (sd <= 0) return 0;
  if (conversation_over) return 0;
  if (stream_client != nullptr) {
    int rc = stream_send(stream_client, text);
    if (rc <= 0) {
      // The entry closed the connection (or it was closed under us).
      sd = 0;
      stream_client = nullptr;
      if (cinfo.execution_type != 0) delivery_lost = 1;
    }
    return rc;
  }
  int rc = send_line(sd, text);
  if (rc <= 0) {
    close_connection();
    if (cinfo.execution_type != 0) delivery_lost = 1;
  }
  return rc;
}

// A line that did not arrive whole ends the conversation: a cut-off text is
// no value, and nothing is acknowledged that was not received.
void DataExchange::lose_conversation(int rc) {
  conversation_over = 1;
  if (rc == LINE_FAILED) fprintf(stderr, "WARNING: connection terminated.\n");
  close_connection();
}

char* DataExchange::receive_data(int ack) {
  unit_data[0] = '\0';
  if (sd <= 0 || conversation_over) return unit_data;
  int rc = receive_line(sd, unit_data, sizeof(unit_data));
  if (rc < 1) {
    unit_data[0] = '\0';
    lose_conversation(rc);
    return unit_data;
  }
  if (ack && send_line(sd, "__OK__") <= 0) {
    conversation_over = 1;
    fprintf(stderr, "WARNING: connection terminated, received: %s, but sending ack. failed \n",
            unit_data);
    close_connection();
  }
  return unit_data;
}

int DataExchange::send_data(int ack) {
  int rc = send_unit(unit_data);
  if (rc <= 0) return rc;
  if (cinfo.return_type == RETURN_SCALAR_STREAM || cinfo.return_type == RETURN_SCALAR_THREAD)
    return rc;
  if (ack) {
    int got = receive_line(sd, unit_data, sizeof(unit_data));
    if (got < 1) {
      lose_conversation(got);
      // Unacknowledged, a delivered value may not have reached the client.
      if (cinfo.execution_type != 0) delivery_lost = 1;
    }
  }
  return rc;
}

int DataExchange::send_data(const char* text, int ack) {
  snprintf(unit_data, sizeof(unit_data), "%s", text == nullptr ? "" : text);
  return send_data(ack);
}

int DataExchange::done_with_arguments() {
  switch (data_service_type) {
    case SOCKET_SERVICE:
      receive_data(0);
      break;
    case PVM_PROXY_SERVICE:
      // The worker runs the call only on this text, so that a client that
      // leaves before its end-of-arguments line never runs it there either.
      receive_data(0);
      if (conversation_over)
        PvmAbandonCall();
      else
        PvmSend(unit_data);
      break;
    case PVM_SLAVE_SERVICE:
      PvmReceive();
      break;
  }
  if (conversation_over) throw CallAbandoned();
  return 1;
}

int DataExchange::done_with_result() {
  if (cinfo.execution_type == 1) {
    receive_data(0);
    close_connection();
  } else if (cinfo.execution_type == 2) {
    close_connection();
  }
  return 1;
}

void DataExchange::release_request_thread() {
  pthread_mutex_lock(&mut);
  working_thread = 0;
  client_released = 1;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mut);
}

int DataExchange::break_connection(int kind) {
  cinfo.execution_type = kind == 1 ? 1 : 2;
  const char* form = kind == 1 ? "#THREAD_%s" : "#STREAM_%s";
  if (data_service_type == PVM_SLAVE_SERVICE) {
    snprintf(unit_data, sizeof(unit_data), form, GetPVMKey());
    PvmSend(unit_data);
    delivery_lost = 0;
    return 1;
  }
  snprintf(unit_data, sizeof(unit_data), form, GetFunctionKey());
  send_data(1);
  close_connection();
  // What is lost from here on are the call's values, not its request: sd is
  // a call-back connection of its own from now on.
  conversation_over = 0;
  delivery_lost = 0;
  if (execution_model == PROCESS_POOL) return 1;
  // Per-user: the request thread waits for this to serve the next conversation.
  release_request_thread();
  if (data_service_type == PVM_PROXY_SERVICE) SetPVMKey(PvmReceive());
  return 1;
}

int DataExchange::make_connection(int marker) {
  call_safe_point();
  // Once a value was lost no delivery follows; the end (-1) still goes out.
  if (delivery_lost && marker != -1) return 0;
  int made;
  if (data_service_type == PVM_SLAVE_SERVICE || data_service_type == PVM_PROXY_SERVICE)
    made = PvmMakeConnection(marker);
  else
    made = open_client_connection(marker);
  if (!made && cinfo.execution_type == 2 && marker != -1) lose_delivery();
  return made;
}

int DataExchange::lose_delivery() {
  delivery_lost = 1;
  ThreadStatusNode* node = static_cast<ThreadStatusNode*>(thread_status_node);
  if (node != nullptr) node->stop_own_call();
  return 0;
}

int DataExchange::end_delivery() {
  if (cinfo.return_type == RETURN_PLAIN) {
    if (data_service_type == PVM_SLAVE_SERVICE) {
      snprintf(unit_data, sizeof(unit_data), "#STREAM_%s~%d", GetFunctionKey(), DELIVERY_END_MARKER);
      PvmSend(unit_data);
    } else if (sd > 0) {
      close_connection();
    } else {
      // Closed under the delivery: a unit (or its acknowledgement) was lost.
      delivery_lost = 1;
    }
  }
  return delivery_lost ? lose_delivery() : 1;
}

// Kept apart from make_connection so that the safe point's caller holds no
// stack arrays (see call_safe_point).
int DataExchange::open_client_connection(int marker) {
  char address[INET_ADDRSTRLEN] = "";
  cinfo.ClientAddr.sin_family = AF_INET;
  cinfo.ClientAddr.sin_port = htons(static_cast<uint16_t>(cinfo.port));
  inet_ntop(AF_INET, &cinfo.ClientAddr.sin_addr, address, sizeof(address));
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s <= 0) {
    if (s == 0) close(s);
    printf("Unable to create a socket to send back thread result (client ip: %s:%d)\n", address,
           cinfo.port);
    return 0;
  }
  sd = s;
  stream_client = nullptr;
  // A connection of its own: what ended an earlier one does not end it.
  conversation_over = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&cinfo.ClientAddr), sizeof(cinfo.ClientAddr)) != 0) {
    printf("make_connection: Unable to Connect to client to send thread results (client ip: %s:%d)\n",
           address, cinfo.port);
    close(s);
    sd = 0;
    return 0;
  }
  limit_callback_waits(s);
  snprintf(unit_data, sizeof(unit_data), cinfo.execution_type == 1 ? "#THREAD_%s~%d" : "#STREAM_%s~%d",
           GetFunctionKey(), marker);
  send_data(1);
  return 1;
}

int DataExchange::set_scalar_path(int return_type) {
  switch (data_service_type) {
    case PVM_SLAVE_SERVICE:
      cinfo.return_type = return_type;
      return 1;
    case SOCKET_SERVICE:
    case PVM_PROXY_SERVICE: {
      cinfo.return_type = return_type;
      ClientInfo* entry = nullptr;
      int s = get_stream_socket(cinfo, &entry);
      if (s < 1) return 0;
      sd = s;
      stream_client = entry;
      conversation_over = 0;
      return 1;
    }
  }
  return 1;
}

int DataExchange::end_lost_relay() {
  lose_delivery();
  call_safe_point();
  // Not registered, so not stoppable here: the worker still stops its side.
  PvmStopCall();
  close_connection();
  return 0;
}

int DataExchange::SetScalarStream() { return set_scalar_path(RETURN_SCALAR_STREAM); }
int DataExchange::SetScalarThread() { return set_scalar_path(RETURN_SCALAR_THREAD); }

int DataExchange::EndScalarStream() {
  call_safe_point();
  switch (data_service_type) {
    case SOCKET_SERVICE:
      snprintf(unit_data, sizeof(unit_data), "#STREAM_%s", GetFunctionKey());
      return send_data(1);
    case PVM_SLAVE_SERVICE:
      snprintf(unit_data, sizeof(unit_data), "#STREAM_%s", GetFunctionKey());
      PvmSend(unit_data);
      return 0;
    case PVM_PROXY_SERVICE:
      // The worker's values until its end text (or a PVM error) go through;
      // a stop from the client takes effect before the next one, and so does
      // a value the client could not be sent.
      for (;;) {
        call_safe_point();
        PvmReceive();
        int last = strchr(unit_data, '=') == nullptr;
        if (send_data(1) <= 0 && !last) return end_lost_relay();
        if (last) return 0;
      }
  }
  return 0;
}
