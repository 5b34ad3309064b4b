// Persistent stream connections to clients: one per client address and stream
// port (call-back port + 1), shared by every scalar thread and live thread of
// that client in this process. Entries are never removed; a dead connection is
// reopened by the next call that needs it.
#ifndef VELMOR_EXCHANGE_STREAM_CLIENTS_H_
#define VELMOR_EXCHANGE_STREAM_CLIENTS_H_

#include <netinet/in.h>
#include <pthread.h>

#include "data_exchange.h"

struct ClientInfo {
  sockaddr_in client_address;  // stream port in network order
  int client_port;             // stream port, host order
  int client_sd;               // 0 when not connected
  int connection_status;       // 1 while connected
  ClientInfo* next;            // list in order of creation
  pthread_mutex_t write_lock;  // one writer at a time on client_sd; guards the fields above
  int opening;                 // 1 while one call connects the entry (without any lock)
  pthread_cond_t opened;       // signalled under write_lock when opening ends
};

// Head of the process-wide list; walk it only under clients_lock, which is
// never held across a network wait: a client whose port does not answer
// delays only its own calls, never another client's.
extern ClientInfo* clients;
extern pthread_mutex_t clients_lock;

// The socket of the client's stream connection, opened or reopened as
// needed; 0 when it cannot be made. Waits at most for one connect (bounded
// by CALLBACK_TIME_LIMIT_SECONDS) of this client's, its own or another
// call's, and one "#PING". When `entry` is not null it receives the
// connection's entry (for serialised writes through stream_send).
int get_stream_socket(CallbackInfo& info, ClientInfo** entry = nullptr);

// 1 when the line "#PING" could be sent on sd, else 0.
int is_socket_alive(int sd);

// Sends one line on the entry's current connection, serialised with every
// other writer; 0 when the entry is not connected. A failed send closes the
// connection and marks the entry unconnected, so its descriptor number is
// never written to again.
int stream_send(ClientInfo* entry, const char* text);

#endif
