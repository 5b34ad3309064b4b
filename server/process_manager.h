// Process manager: owns the listening socket and the worker processes, in
// either execution model.
//
//   PROCESS_POOL      forked workers take turns accepting on the shared
//                     listening socket (an accept lock in shared memory);
//                     connections wait for their first whole request line
//                     in one thread per worker, then get a connection
//                     thread (at most MAX_THREADS_PER_PROCESS at once).
//   PROCESS_PER_USER  the server's proxy threads take turns accepting; the
//                     one that accepted a connection binds its client
//                     address to a slot and relays lines between the client
//                     and the slot's worker over a local stream pair until
//                     the worker ends the conversation (a signal of the link,
//                     see line_transport.h). A connection is filtered by
//                     ALLOW_CLIENTS when accepted, and binds a slot and
//                     takes its turn only once its first whole request line
//                     has arrived.
//
// With one slot there is no fork: the server is itself the only pool worker.
// The worker table lives in a System V segment created before the first
// fork and marked for removal at once, so it goes away with the last process.
#ifndef VELMOR_SERVER_PROCESS_MANAGER_H_
#define VELMOR_SERVER_PROCESS_MANAGER_H_

#include <netinet/in.h>

// Accept-lock states and worker states as stored in Child::status.
enum { CHILD_ENDED = 0, CHILD_STARTING = 1, CHILD_RUNNING = 2 };
enum { LOCK_HELD = 2, LOCK_FREE = 3 };

struct Child {
  int pid;     // worker's process id, 0 before its first start
  int status;  // CHILD_* for a worker, LOCK_* for the accept lock
};

struct ClientAddress {
  in_addr sin_addr;  // bound client address; all zero: slot is free
  int port;          // not used
  int filedes[2];    // slot's stream pair: [0] worker's end, [1] server's end
};

// One relayed client connection; owned and freed by its proxy thread.
struct ProxyStruct {
  int sock_desc;      // server's end of the slot's stream pair, set under the slot's lock
  int client_socket;  // the client's socket
  int slot;           // the slot, so that one conversation at a time reaches it; -1 before
  in_addr client;     // the client's address, which picks the slot
};

class ProcessManager {
 public:
  int ServerSocket;

  static Child* accept_lock;
  static Child* children;
  static ClientAddress* clients;
  static int my_slot;
  static int max_kids;

  ProcessManager();

  int set_kids_count(int n);

  // Shared segment, then setup_and_startup_children. Returns only when the
  // listening socket cannot be set up.
  void Run();
  int setup_and_startup_children();
  int spawn_child(int slot);
  [[noreturn]] void child_main(int slot);

  // Per-user relay, run by proxy threads that take turns at accept: the
  // next admitted connection (blocking); passing the turn on to another
  // proxy thread (the server ends, closing client_socket, when no thread
  // can take it); relaying one connection, which frees proxy_struct.
  static ProxyStruct* accept_proxied();
  static void pass_accept_turn(int client_socket);
  static void* proxy_client_proc(void* proxy_struct);

  static void just_die(int sig);
  static void handle_child_crash(int sig);
  static void kill_children(int sig);
  static void restart_children(int sig);

 private:
  int create_shared_segment();
  int write_pid_file();
  [[noreturn]] void pool_loop();
  [[noreturn]] void per_user_loop();
  static void start_first_proxy();
  static int find_client_slot(in_addr address);
  static void raise_descriptor_limit();
  void ensure_worker(int slot);
  [[noreturn]] void pool_worker_loop();
  [[noreturn]] void per_user_worker_loop(int slot);
};

extern ProcessManager PM;

#endif
