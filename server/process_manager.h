// Process manager: owns the listening socket and the worker processes, in
// either execution model.
//
//   PROCESS_POOL      forked workers take turns accepting on the shared
//                     listening socket (an accept lock in shared memory);
//                     connections wait for their first whole request line
//                     in one thread per worker, then get a connection
//                     thread (at most MAX_THREADS_PER_PROCESS at once).
//   PROCESS_PER_USER  the server accepts, in one thread; a connection is
//                     filtered by ALLOW_CLIENTS when accepted, and once its
//                     first whole request line has arrived it binds its
//                     client address to a slot and, at the slot's turn, is
//                     passed to the slot's worker, which serves it on the
//                     client's socket (per_user_model.cpp).
//
// With one slot there is no fork: the server is itself the only pool worker.
// The worker table lives in a System V segment created before the first
// fork and marked for removal at once, so it goes away with the last process.
#ifndef VELMOR_SERVER_PROCESS_MANAGER_H_
#define VELMOR_SERVER_PROCESS_MANAGER_H_

#include <netinet/in.h>
#include <sys/types.h>

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
  int filedes[2];    // slot's link (Unix socket pair): [0] worker's end, [1] server's end
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

  // Per-user model, server process only: the slot bound to address, binding
  // the first free one; -1 when every slot is bound to another address.
  static int find_client_slot(in_addr address);

  static void just_die(int sig);
  static void handle_child_crash(int sig);
  static void kill_children(int sig);
  static void restart_children(int sig);
  // Server, SIGUSR2: asks for a reload (registry_reload.h).
  static void reload_registry(int sig);
  // One-process server, SIGUSR2: says why it cannot reload.
  static void refuse_reload(int sig);
  // Pool worker, SIGUSR2 from a reload: stop accepting, end after the last call.
  static void retire(int sig);

 private:
  int create_shared_segment();
  int write_pid_file();
  [[noreturn]] void pool_loop();
  [[noreturn]] void per_user_loop();
  static void raise_descriptor_limit();
  [[noreturn]] void pool_worker_loop();
  [[noreturn]] void per_user_worker_loop(int slot);
};

extern ProcessManager PM;

// For a process the server forks (a per-user worker, a reload's preparing
// child): closes every descriptor above the standard streams but keep.
// Client sockets of queued or other conversations inherited from the server
// would keep those connections alive after the server closed them.
void close_inherited_descriptors(int keep);

// First of all in a process the server forks: it ends with the server
// (killed, crashed), so that no orphan keeps serving on the server's port or
// writing its files. The kernel ties this to the forking thread, so only a
// fork from the server's main thread may ask for it.
void end_with_server(pid_t server, bool forked_by_main_thread);

#endif
