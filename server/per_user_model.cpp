// Per-user model: the server's proxy threads accept, bind each client
// address to a slot and relay its conversations to the slot's worker (see
// process_manager.h).
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

#include "address_filter.h"
#include "idle_threads.h"
#include "line_transport.h"
#include "process_manager.h"
#include "process_table.h"
#include "tarrow.h"

static const int kLineSize = 1024;
static const int kProxyWaitSeconds = 120;
// An idle proxy thread ends after this long without a connection.
static const int kIdleProxySeconds = 60;

// Per-user model: one conversation at a time per slot, so that two
// connections of one client never mix their lines on the slot's stream pair.
static pthread_mutex_t* slot_locks = nullptr;
// Per-user model: the binding of addresses to slots, made by proxy threads.
static pthread_mutex_t binding_lock = PTHREAD_MUTEX_INITIALIZER;

void create_slot_locks(int count) {
  slot_locks = new pthread_mutex_t[count];
  for (int i = 0; i < count; i++) pthread_mutex_init(&slot_locks[i], nullptr);
}

int ProcessManager::find_client_slot(in_addr address) {
  pthread_mutex_lock(&binding_lock);
  int slot = -1;
  for (int i = 0; i < max_kids && slot < 0; i++) {
    if (clients[i].sin_addr.s_addr == address.s_addr) slot = i;
    else if (clients[i].sin_addr.s_addr == 0) {
      clients[i].sin_addr = address;
      char ip[INET_ADDRSTRLEN];
      printf("connection from a new client (%s), accepted!\n",
             dotted(address, ip, sizeof(ip)));
      slot = i;
    }
  }
  pthread_mutex_unlock(&binding_lock);
  return slot;
}

// Per-user model: the proxy threads accept (see accept_proxied); the main
// thread only waits for SIGHUP, which the proxy threads leave to it.
void ProcessManager::per_user_loop() {
  start_first_proxy();
  sigset_t hangup, waiting;
  sigemptyset(&hangup);
  sigaddset(&hangup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hangup, &waiting);
  for (;;) {
    finish_if_hung_up();
    sigsuspend(&waiting);
  }
}

// The next admitted connection, as a new ProxyStruct. Filtered before
// anything is read or bound, as in the pool model.
ProxyStruct* ProcessManager::accept_proxied() {
  for (;;) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    int sock = accept(PM.ServerSocket, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock < 0) {
      if (errno != EINTR) fprintf(stderr, "Error While Accepting clients connection \n");
      continue;
    }
    char ip[INET_ADDRSTRLEN];
    dotted(addr.sin_addr, ip, sizeof(ip));
    if (!validate_ip_address(ip)) {
      close(sock);
      fprintf(stderr, "Rejected: connection request from %s\n", ip);
      continue;
    }
    ProxyStruct* proxy = new (std::nothrow) ProxyStruct;
    if (proxy == nullptr) {
      fprintf(stderr, "Memory allocation failure, while relaying a client's connection\n");
      close(sock);
      continue;
    }
    // The slot is bound, and its worker started, by the proxy once the
    // client's first request line has arrived: a connection that never
    // sends one (a port scan, a silent client) binds nothing.
    proxy->sock_desc = -1;
    proxy->client_socket = sock;
    proxy->slot = -1;
    proxy->client = addr.sin_addr;
    return proxy;
  }
}

// Per-user model: starts the slot's worker if it never ran or has ended.
// Runs under the slot's lock, so no conversation uses the old stream pair and
// no other thread starts the same slot. Forking from a proxy thread is safe
// for the new worker: it runs only its own loop, whose allocator and stdio
// locks fork resets.
void ProcessManager::ensure_worker(int slot) {
  if (load(&children[slot].pid) == 0) {
    spawn_child(slot);
    return;
  }
  if (!worker_has_ended(&children[slot])) return;
  fprintf(stderr, "Server crashed... starting a new server..\n");
  spawn_child(slot);
}

void ProcessManager::per_user_worker_loop(int slot) {
  int link = clients[slot].filedes[0];
  // Lines on the link are framed, so that the end of a conversation is a
  // signal no data line can imitate.
  set_relay_link(link);
  for (;;) {
    pollfd p = {link, POLLIN, 0};
    int rc = poll(&p, 1, 1000);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0 || (p.revents & POLLNVAL) != 0) {
      fprintf(stderr, "%s %d: user process unable to select the service socket ...\n", __FILE__,
              __LINE__);
      exit(0);
    }
    if (rc == 0) continue;
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr = clients[slot].sin_addr;
    // A lost link (the server ended) leaves nothing to serve; its number
    // must not be polled again once a call-back connection may reuse it.
    if (FS.process_per_user_service(slot, link, addr) < 0) {
      fprintf(stderr, "%s %d: user process lost its link to the server, exiting\n", __FILE__,
              __LINE__);
      exit(0);
    }
  }
}

// Proxy threads work as leader and followers: one of them at a time waits
// in accept, and the one that accepted a connection relays it itself, after
// passing the turn at accept to an idle proxy thread, or to a new one when
// none waits (there is no cap). A thread that finished relaying waits to
// take the turn again. Creating a thread per connection was a tenth of a
// short relayed call, and handing each accepted connection to another thread
// cost a wake-up more.
static IdleThreads idle_proxies(kIdleProxySeconds);
// What idle_proxies hands over: the turn at accept.
static char accept_turn_token;

static void* proxy_thread_main(void*) {
  do {
    ProxyStruct* proxy = ProcessManager::accept_proxied();
    ProcessManager::pass_accept_turn(proxy->client_socket);
    ProcessManager::proxy_client_proc(proxy);
  } while (idle_proxies.next() != nullptr);
  return nullptr;
}

// A new detached proxy thread, which starts with the turn at accept; its
// error number, or 0.
static int start_proxy_thread() {
  // The relay threads leave the server's signals to the main thread, which
  // ends the server on SIGHUP. A reused thread keeps this mask: a fork of a
  // slot's worker restores it after the fork.
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGCHLD);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, proxy_thread_main, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return rc;
}

// A new proxy thread with one retry; without one the server cannot go on
// accepting, and ends after closing client_socket (-1 for none).
static void start_proxy_or_end(int client_socket) {
  int rc = start_proxy_thread();
  if (rc == 0) return;
  fprintf(stderr,
          "Unable to spawn (reason:%d) a thread to process client's request... trying after 5 "
          "sec. \n",
          rc);
  sleep(5);
  rc = start_proxy_thread();
  if (rc == 0) return;
  fprintf(stderr, "Unable to spawn (reason:%d) a thread to process client's request... exiting.\n",
          rc);
  if (client_socket >= 0) close(client_socket);
  fflush(stdout);
  _exit(0);
}

void ProcessManager::start_first_proxy() { start_proxy_or_end(-1); }

void ProcessManager::pass_accept_turn(int client_socket) {
  if (!idle_proxies.hand_over(&accept_turn_token)) start_proxy_or_end(client_socket);
}

// The proxy's limit on a client's silence: the socket's receive time-out,
// set once, so that waiting for each line costs no call of its own.
static void limit_client_wait(int sock) {
  timeval limit = {kProxyWaitSeconds, 0};
  setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

// The client's next whole request line; false when the client ended its
// connection (or failed) before one arrived. A quiet client only gets the
// time-out message: there is no idle limit on a conversation.
static bool client_line(int client, char* line, int size) {
  for (;;) {
    int rc = receive_line_idle_limited(client, line, size);
    if (rc >= 1) return true;
    if (rc == LINE_TIMED_OUT) {
      fprintf(stderr, "select success but fd_isset is not true!\n");
      continue;
    }
    fprintf(stderr,
            "(%d)Received 0 bytes, while handling a client's request, closing socket. ppid = %d\n",
            static_cast<int>(getpid()), static_cast<int>(getppid()));
    return false;
  }
}

// The client left before the worker ended the conversation: the worker is
// told so (it abandons a half-received call), and its lines are dropped until
// it has ended the conversation, so that the slot's next connection starts
// on a clean link. False when the worker is gone.
static bool resynchronise(int link) {
  if (send_link_end(link) < 1) return false;
  char line[kLineSize];
  for (;;) {
    int rc = receive_link_line(link, line, sizeof(line));
    if (rc == LINE_CONVERSATION_OVER) return send_link_line(link, "__OK__") >= 1;
    if (rc < 1) return false;
  }
}

// Relays one client connection to the slot's worker, starting with the
// client's first line: a line from the client, then exactly one line from the
// worker, until the worker ends the conversation.
static void relay(ProxyStruct* proxy, char* line) {
  int link = proxy->sock_desc;
  for (;;) {
    if (send_link_line(link, line) < 1) {
      fprintf(stderr, "Error sending message to sub-process, unable to execute client request... \n");
      return;
    }
    int rc = receive_link_line(link, line, kLineSize);
    if (rc == LINE_CONVERSATION_OVER) {
      close(proxy->client_socket);
      proxy->client_socket = -1;
      send_link_line(link, "__OK__");
      return;
    }
    if (rc < 1) {
      fprintf(stderr, "Error receiving data from server...\n");
      return;
    }
    if (send_line(proxy->client_socket, line) < 1) {
      fprintf(stderr, "Error sending message to client...\n");
      resynchronise(link);
      return;
    }
    if (!client_line(proxy->client_socket, line, kLineSize)) {
      resynchronise(link);
      return;
    }
  }
}

static void reject_unbound(in_addr client) {
  char ip[INET_ADDRSTRLEN];
  fprintf(stderr,
          "Rejected: connection request from %s, all %d worker slots are bound to other "
          "clients\n",
          dotted(client, ip, sizeof(ip)), ProcessManager::max_kids);
}

void* ProcessManager::proxy_client_proc(void* proxy_struct) {
  ProxyStruct* proxy = static_cast<ProxyStruct*>(proxy_struct);
  char line[kLineSize];
  limit_client_wait(proxy->client_socket);
  // Nothing is bound, and no turn taken, before a whole request line.
  if (client_line(proxy->client_socket, line, sizeof(line))) {
    proxy->slot = find_client_slot(proxy->client);
    if (proxy->slot < 0) {
      reject_unbound(proxy->client);
    } else {
      pthread_mutex_lock(&slot_locks[proxy->slot]);
      PM.ensure_worker(proxy->slot);
      if (load(&children[proxy->slot].status) == CHILD_RUNNING) {
        proxy->sock_desc = clients[proxy->slot].filedes[1];
        relay(proxy, line);
      } else {
        fprintf(stderr, "No worker for slot %d, closing the client's connection\n", proxy->slot);
      }
      pthread_mutex_unlock(&slot_locks[proxy->slot]);
    }
  }
  if (proxy->client_socket >= 0) close(proxy->client_socket);
  delete proxy;
  return nullptr;
}

