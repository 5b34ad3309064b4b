#include "process_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <new>

#include "address_filter.h"
#include "bounded_copy.h"
#include "execution_model.h"
#include "idle_threads.h"
#include "line_transport.h"
#include "pvm_task_table.h"
#include "stop_forwarding.h"
#include "tarrow.h"

Child* ProcessManager::accept_lock = nullptr;
Child* ProcessManager::children = nullptr;
ClientAddress* ProcessManager::clients = nullptr;
int ProcessManager::my_slot = 0;
int ProcessManager::max_kids = 1;

static const int kLineSize = 1024;
static const int kBacklog = 128;
static const int kProxyWaitSeconds = 120;
// An idle proxy thread ends after this long without a connection.
static const int kIdleProxySeconds = 60;

// SIGHUP asks the server's main loop to end; the handler itself only signals
// the workers, because exiting from inside a handler may deadlock on stdio.
static volatile sig_atomic_t hangup_requested = 0;

// Per-user model: one conversation at a time per slot, so that two
// connections of one client never mix their lines on the slot's stream pair.
static pthread_mutex_t* slot_locks = nullptr;
// Per-user model: the binding of addresses to slots, made by proxy threads.
static pthread_mutex_t binding_lock = PTHREAD_MUTEX_INITIALIZER;

// The shared table is written by the server and by each worker with plain
// stores; atomic accesses keep the compiler from caching them.
static int load(const int* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }
static void store(int* field, int value) { __atomic_store_n(field, value, __ATOMIC_SEQ_CST); }

// Pool model: the workers' turn at accept. The lock entry of the shared
// segment says who waits in accept; the turn itself is a robust mutex,
// shared by the workers through fork. A worker waiting for it wakes as soon
// as it is released (polling the lock entry cost up to 5 seconds a turn,
// and left the second worker idle), and when its holder dies the kernel
// frees it for the next waiter at once.
static pthread_mutex_t* accept_turn = nullptr;

static void create_accept_turn() {
  void* p = mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    fprintf(stderr, "mmap error");
    exit(-1);
  }
  accept_turn = static_cast<pthread_mutex_t*>(p);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(accept_turn, &attr);
  pthread_mutexattr_destroy(&attr);
}

static const char* dotted(in_addr addr, char* out, socklen_t size) {
  if (inet_ntop(AF_INET, &addr, out, size) == nullptr) snprintf(out, size, "?");
  return out;
}

static void install(int sig, void (*handler)(int), int flags) {
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  sigaction(sig, &sa, nullptr);
}

ProcessManager::ProcessManager() : ServerSocket(-1) { max_kids = 1; }

int ProcessManager::set_kids_count(int n) {
  max_kids = n;
  return n;
}

int ProcessManager::create_shared_segment() {
  if (max_kids < 1) max_kids = 1;
  size_t size = sizeof(Child) * (1 + max_kids) + sizeof(ClientAddress) * max_kids;
  int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id < 0) {
    fprintf(stderr, "could not call shmget");
    exit(-1);
  }
  void* base = shmat(id, nullptr, 0);
  if (base == reinterpret_cast<void*>(-1)) {
    fprintf(stderr, "shmat error");
    exit(-1);
  }
  shmid_ds info;
  if (shmctl(id, IPC_STAT, &info) < 0) fprintf(stderr, "shmctl() could not stat segment #%d", id);
  // Removed now, gone when the last attached process ends.
  if (shmctl(id, IPC_RMID, nullptr) < 0)
    fprintf(stderr, "shmctl: IPC_RMID: could not remove shared memory segment #%d", id);

  memset(base, 0, size);
  accept_lock = static_cast<Child*>(base);
  children = accept_lock + 1;
  clients = reinterpret_cast<ClientAddress*>(children + max_kids);
  for (int i = 0; i < max_kids; i++) clients[i].filedes[0] = clients[i].filedes[1] = -1;
  store(&accept_lock->pid, getpid());
  store(&accept_lock->status, LOCK_FREE);
  create_accept_turn();

  slot_locks = new pthread_mutex_t[max_kids];
  for (int i = 0; i < max_kids; i++) pthread_mutex_init(&slot_locks[i], nullptr);
  return 0;
}

// Every connection is a descriptor: a site's thousands of open connections
// must not run into the default soft limit of 1024.
void ProcessManager::raise_descriptor_limit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

void ProcessManager::Run() {
  // A client that goes away while we write to it must end only that send.
  signal(SIGPIPE, SIG_IGN);
  raise_descriptor_limit();
  create_shared_segment();
  setup_and_startup_children();
}

int ProcessManager::write_pid_file() {
  const char* dir = getenv("VELMOR_LOG_DIR");
  if (dir == nullptr) dir = "./";
  char path[VELMOR_PATH_SIZE];
  bounded_strcpy(path, dir, sizeof(path));
  size_t len = strlen(path);
  if (len == 0 || path[len - 1] != '/') bounded_strcat(path, "/", sizeof(path));
  bounded_strcat(path, "velmor.pid", sizeof(path));
  FILE* f = fopen(path, "w");
  if (f == nullptr) {
    fprintf(stderr, "Velmor: unable to open tarrow.pid file\n");
    return 0;
  }
  fprintf(f, "%d", static_cast<int>(getpid()));
  fclose(f);
  return 1;
}

int ProcessManager::setup_and_startup_children() {
  ServerSocket = socket(AF_INET, SOCK_STREAM, 0);
  if (ServerSocket < 0) {
    fprintf(stderr, "Error: setup_and_startup_children: socket () call failed\n");
    return -1;
  }
  int on = 1;
  if (setsockopt(ServerSocket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
    fprintf(stderr, "Error: setup_and_startup_children: setsockopt (SO_REUSEADDR) failed\n");
    return -1;
  }
  if (setsockopt(ServerSocket, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) < 0) {
    fprintf(stderr, "Error: setup_and_startup_children: setsockopt (SO_KEEPALIVE) failed\n");
    return -1;
  }
  sockaddr_in addr;
  memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(FS.get_port()));
  if (bind(ServerSocket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0) {
    fprintf(stderr, "Error: setup_and_startup_children, bind () call failed\n");
    return -1;
  }
  if (listen(ServerSocket, kBacklog) < 0) fprintf(stderr, "Error in listen() call\n");
  write_pid_file();

  for (int i = 0; i < max_kids; i++) store(&children[i].pid, 0);
  if (max_kids == 1) spawn_child(0);  // serves in this process, never returns
  if (execution_model == PROCESS_POOL) setup_stop_pipes(max_kids);

  printf("Max child process set to %d\n", max_kids);
  fflush(stdout);
  install(SIGCHLD, handle_child_crash, SA_RESTART);
  install(SIGHUP, kill_children, 0);  // no restart: the main loop must notice it
  install(SIGUSR1, restart_children, SA_RESTART);

  if (execution_model == PROCESS_PER_USER) per_user_loop();
  pool_loop();
}

// Ends the server after SIGHUP; the workers were signalled by the handler.
static void finish_if_hung_up() {
  if (!hangup_requested) return;
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

// 1 when the worker of the slot has ended (or was never started). A worker
// reported stopped is killed: a new one takes its slot, and a stopped copy
// resumed later would serve unseen.
static int worker_has_ended(Child* child) {
  int pid = load(&child->pid);
  if (pid == 0) return 1;
  int status;
  pid_t rc = waitpid(pid, &status, WNOHANG | WUNTRACED);
  if (rc == 0) {
    if (load(&child->status) != CHILD_ENDED) return 0;
    // Marked ended by its handler and exiting now: collect it.
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 1;
  }
  if (rc > 0 && WIFSTOPPED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return 1;
}

void ProcessManager::pool_loop() {
  for (;;) {
    for (int i = 0; i < max_kids; i++) {
      finish_if_hung_up();
      if (!worker_has_ended(&children[i])) continue;
      int pid = load(&children[i].pid);
      // The turn itself went to a waiting worker when the holder died; the
      // lock entry is freed by whoever sees the death first (see
      // take_accept_turn), so the message comes once.
      if (pid != 0 && load(&accept_lock->status) == LOCK_HELD &&
          __atomic_compare_exchange_n(&accept_lock->pid, &pid, 0, false, __ATOMIC_SEQ_CST,
                                      __ATOMIC_SEQ_CST)) {
        printf("Lock held by %d, a zombie process, freeing it!\n", pid);
        fflush(stdout);
        store(&accept_lock->status, LOCK_FREE);
      }
      spawn_child(i);
    }
    finish_if_hung_up();
    sleep(1);
  }
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

static void report_pair_failure(int err) {
  switch (err) {
    case ENFILE:
      fprintf(stderr, "pipe() call faild. ENFILE:  The system file table is full\n");
      break;
    case EMFILE:
      fprintf(stderr, "Too many file descriptors are in use by the process.\n");
      break;
    case EFAULT:
      fprintf(stderr, "pipe() call faild. ENFILE: File descriptors are not valid!\n");
      break;
    default:
      fprintf(stderr, "pipe() call faild. Error unknown! \n");
      break;
  }
}

// In a new per-user worker: only its end of the stream pair stays open.
// Inherited client sockets of other conversations would keep those
// connections alive after their proxies closed them.
static void close_inherited_descriptors(int keep) {
  for (int fd = 3; fd < keep; fd++) close(fd);
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = keep + 1; fd < max; fd++) close(fd);
}

int ProcessManager::spawn_child(int slot) {
  store(&children[slot].status, CHILD_STARTING);
  if (max_kids == 1) {
    my_slot = slot;
    child_main(0);
  }

  ClientAddress& client = clients[slot];
  if (execution_model == PROCESS_PER_USER) {
    if (client.filedes[1] >= 0) close(client.filedes[1]);
    client.filedes[0] = client.filedes[1] = -1;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, client.filedes) < 0) {
      report_pair_failure(errno);
      client.filedes[0] = client.filedes[1] = -1;
      store(&children[slot].status, CHILD_ENDED);
      return -1;  // a worker without its link could serve nobody
    }
  }

  fprintf(stderr, "SPAWNING A NEW PROCESS.....\n");
  fflush(stdout);
  // Until the worker has its own handlers, a signal must not run the
  // server's handlers in it: they would signal the other workers.
  sigset_t all, old_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old_mask);
  pid_t pid = fork();
  if (pid != 0) pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (pid < 0) {
    store(&children[slot].status, CHILD_ENDED);
    fprintf(stderr, "Unable to fork a process...!\n");
    sleep(10);
    return -1;
  }
  if (pid == 0) {
    my_slot = slot;
    const int deadly[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT,
                          SIGFPE, SIGTERM, SIGBUS, SIGUSR1};
    for (int sig : deadly) install(sig, just_die, 0);
    // A client closing its connection mid-reply must not end the worker and
    // every other call it serves: failed sends just return 0.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGSEGV, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    // Everything unblocked, also what a proxy thread that forked us blocked.
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    if (execution_model == PROCESS_PER_USER) {
      close(client.filedes[1]);
      close_inherited_descriptors(client.filedes[0]);
    }
    child_main(slot);
  }
  store(&children[slot].pid, pid);
  store(&children[slot].status, CHILD_RUNNING);
  if (execution_model == PROCESS_PER_USER) close(client.filedes[0]);
  return 0;
}

void ProcessManager::child_main(int slot) {
  printf("calling to create a pvm task...\n");
  fflush(stdout);
  pvm_task_manager.create_pvm_task(slot);
  if (max_threads_per_kid == 0) fprintf(stderr, "Multi-threading is disabled\n");
  if (execution_model == PROCESS_PER_USER && max_kids > 1) per_user_worker_loop(slot);
  start_stop_listener(slot);
  pool_worker_loop();
}

// Waits for the turn at accept and marks the lock entry held. A holder that
// died left its pid in the entry, unless the server has already freed it.
static void take_accept_turn(Child* lock) {
  if (pthread_mutex_lock(accept_turn) == EOWNERDEAD) {
    int dead = __atomic_exchange_n(&lock->pid, getpid(), __ATOMIC_SEQ_CST);
    if (dead != 0 && dead != getpid()) {
      printf("Lock held by %d, a zombie process, freeing it!\n", dead);
      fflush(stdout);
    }
    pthread_mutex_consistent(accept_turn);
  }
  store(&lock->pid, getpid());
  store(&lock->status, LOCK_HELD);
}

static void release_accept_turn(Child* lock) {
  store(&lock->status, LOCK_FREE);
  pthread_mutex_unlock(accept_turn);
}

// The next admitted client's socket, or Tarrow::ACCEPT_NONE /
// Tarrow::ACCEPT_IDLE. Rejected clients are closed before anything is read.
// With other workers, accept is taken in turns.
static int accept_admitted(sockaddr_in* addr) {
  bool turns = ProcessManager::max_kids > 1;
  if (turns) take_accept_turn(ProcessManager::accept_lock);
  socklen_t len = sizeof(*addr);
  int sock = accept(PM.ServerSocket, reinterpret_cast<sockaddr*>(addr), &len);
  int err = errno;
  if (turns) release_accept_turn(ProcessManager::accept_lock);
  if (sock < 0) {
    if (err == EAGAIN || err == EWOULDBLOCK) return Tarrow::ACCEPT_IDLE;
    if (err != EINTR) fprintf(stderr, "Error While Accepting clients connection \n");
    return Tarrow::ACCEPT_NONE;
  }
  char ip[INET_ADDRSTRLEN];
  dotted(addr->sin_addr, ip, sizeof(ip));
  if (!validate_ip_address(ip)) {
    close(sock);
    fprintf(stderr, "Rejected: connection request from %s\n", ip);
    return Tarrow::ACCEPT_NONE;
  }
  return sock;
}

// A worker alone at the socket lets its idle pool threads wait in accept at
// once; the time-out lets those of a past burst end.
static bool let_threads_accept_at_once(int server_socket) {
  if (ProcessManager::max_kids > 1) return false;
  timeval idle = {Tarrow::kPoolThreadIdleSeconds, 0};
  return setsockopt(server_socket, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle)) == 0;
}

void ProcessManager::pool_worker_loop() {
  // Threads that accept and serve; this thread only stays: a stop request
  // cancels the thread running a call, and the worker's accepting must not
  // go down with it.
  if (max_threads_per_kid != 0 && let_threads_accept_at_once(ServerSocket) &&
      FS.start_pool_threads(accept_admitted))
    for (;;) pause();
  for (;;) {
    sockaddr_in addr;
    int sock = accept_admitted(&addr);
    if (sock >= 0) FS.process_pool_service(sock, addr);
  }
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

void ProcessManager::just_die(int sig) {
  char text[96];
  int len = snprintf(text, sizeof(text), "oops..crashing...(on signal %d, pid: %d)\n", sig,
                     load(&children[my_slot].pid));
  if (len > 0) {
    ssize_t ignored = write(STDOUT_FILENO, text, static_cast<size_t>(len));
    (void)ignored;
  }
  // Marked ended only now: the server kills a worker that reads ended, and
  // would cut the message short.
  store(&children[my_slot].status, CHILD_ENDED);
  // The slot's PVM task would outlive the worker, and its successor starts
  // a task of its own. Should this hang, the server kills the worker, whose
  // slot already reads ended.
  if (pvm_task_manager.get_task_id(my_slot) > 0) pvm_task_manager.end_task_id(my_slot);
  _exit(1);
}

void ProcessManager::handle_child_crash(int) {}

static void signal_workers(int sig) {
  for (int i = 0; i < ProcessManager::max_kids; i++) {
    int pid = load(&ProcessManager::children[i].pid);
    if (pid > 0 && load(&ProcessManager::children[i].status) != CHILD_ENDED) kill(pid, sig);
  }
}

void ProcessManager::kill_children(int sig) {
  signal_workers(sig);
  hangup_requested = 1;
}

void ProcessManager::restart_children(int sig) { signal_workers(sig); }
