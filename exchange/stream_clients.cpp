#include "stream_clients.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cancel_guard.h"
#include "line_transport.h"

ClientInfo* clients = nullptr;
pthread_mutex_t clients_lock = PTHREAD_MUTEX_INITIALIZER;

static ClientInfo* clients_tail = nullptr;

// A client never writes on its stream connection, so anything readable
// means the peer has closed it (or reset it).
static int peer_has_closed(int sd) {
  char byte;
  ssize_t n = recv(sd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return 1;
  if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return 1;
  return 0;
}

int is_socket_alive(int sd) {
  if (sd <= 0 || peer_has_closed(sd)) return 0;
  return send_line(sd, "#PING") > 0 ? 1 : 0;
}

static void dotted(const sockaddr_in& address, char* out, size_t size) {
  if (inet_ntop(AF_INET, &address.sin_addr, out, size) == nullptr) snprintf(out, size, "?");
}

static ClientInfo* find_entry(const CallbackInfo& info) {
  for (ClientInfo* e = clients; e != nullptr; e = e->next)
    if (e->client_address.sin_addr.s_addr == info.ClientAddr.sin_addr.s_addr &&
        e->client_port == info.port + 1)
      return e;
  return nullptr;
}

static ClientInfo* new_entry(const CallbackInfo& info) {
  ClientInfo* e = new ClientInfo();
  memset(&e->client_address, 0, sizeof(e->client_address));
  e->client_address.sin_family = AF_INET;
  e->client_address.sin_addr = info.ClientAddr.sin_addr;
  e->client_port = info.port + 1;
  e->client_address.sin_port = htons(static_cast<uint16_t>(e->client_port));
  e->client_sd = 0;
  e->connection_status = 0;
  e->next = nullptr;
  e->opening = 0;
  pthread_mutex_init(&e->write_lock, nullptr);
  pthread_cond_init(&e->opened, nullptr);
  return e;
}

// The client's entry, listed at once (unconnected) when it is new: from then
// on its own lock, not the list's, orders the calls of that client.
static ClientInfo* listed_entry(const CallbackInfo& info) {
  pthread_mutex_lock(&clients_lock);
  ClientInfo* e = find_entry(info);
  if (e == nullptr) {
    e = new_entry(info);
    if (clients_tail == nullptr)
      clients = e;
    else
      clients_tail->next = e;
    clients_tail = e;
  }
  pthread_mutex_unlock(&clients_lock);
  return e;
}

// A new connection to the entry's stream port (no lock held), or 0.
static int connect_entry(ClientInfo* e) {
  char address[INET_ADDRSTRLEN];
  dotted(e->client_address, address, sizeof(address));
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) {
    fprintf(stderr, "Unable to create a socket to send back stream result (client ip: %s:%d)\n",
            address, e->client_port);
    return 0;
  }
  if (connect_callback(s, e->client_address) != 0) {
    fprintf(stderr, "Unable to connect to client to send stream results (client ip: %s:%d)\n",
            address, e->client_port);
    close(s);
    return 0;
  }
  return s;
}

// Returns the live socket of a connected entry, or 0 after closing a dead
// one (called with the entry's write_lock held).
static int check_entry(ClientInfo* e) {
  if (e->connection_status != 1) return 0;
  if (is_socket_alive(e->client_sd)) return e->client_sd;
  char address[INET_ADDRSTRLEN];
  dotted(e->client_address, address, sizeof(address));
  fprintf(stderr, "reopening stream socket with %s\n", address);
  close(e->client_sd);
  e->client_sd = 0;
  e->connection_status = 0;
  return 0;
}

int get_stream_socket(CallbackInfo& info, ClientInfo** entry) {
  NoCancelScope no_cancel;
  ClientInfo* e = listed_entry(info);
  pthread_mutex_lock(&e->write_lock);
  // One call of the client connects; the others take what it made, and
  // share its failure rather than wait for a port that did not answer.
  bool waited = false;
  while (e->opening) {
    waited = true;
    pthread_cond_wait(&e->opened, &e->write_lock);
  }
  bool opener_failed = waited && e->connection_status != 1;
  int s = opener_failed ? 0 : check_entry(e);
  if (s == 0 && !opener_failed) {
    e->opening = 1;
    pthread_mutex_unlock(&e->write_lock);
    s = connect_entry(e);
    pthread_mutex_lock(&e->write_lock);
    e->opening = 0;
    if (s != 0) {
      e->client_sd = s;
      e->connection_status = 1;
    }
    pthread_cond_broadcast(&e->opened);
  }
  pthread_mutex_unlock(&e->write_lock);
  if (entry != nullptr) *entry = s == 0 ? nullptr : e;
  return s;
}

// Always the entry's current socket: the caller's copy of the descriptor
// number may since have been closed and given to another socket. A call
// whose connection was reopened by another call of the same client goes on
// over the new one.
int stream_send(ClientInfo* entry, const char* text) {
  NoCancelScope no_cancel;
  pthread_mutex_lock(&entry->write_lock);
  int rc = 0;
  if (entry->connection_status == 1 && entry->client_sd > 0) {
    // A client that has gone is noticed at the value it would miss, not at
    // the one after (the first send into a closed connection still succeeds).
    rc = peer_has_closed(entry->client_sd) ? 0 : send_line(entry->client_sd, text);
    if (rc <= 0) {
      close(entry->client_sd);
      entry->client_sd = 0;
      entry->connection_status = 0;
    }
  }
  pthread_mutex_unlock(&entry->write_lock);
  return rc;
}
