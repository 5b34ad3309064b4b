#include "process_manager.h"

#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/eventfd.h>

#include <atomic>

#include "bounded_copy.h"
#include "registry_reload.h"
#include "stub_copies.h"
#include "execution_model.h"
#include "process_table.h"
#include "pvm_task_table.h"
#include "stop_forwarding.h"
#include "tarrow.h"

Child* ProcessManager::accept_lock = nullptr;
Child* ProcessManager::children = nullptr;
ClientAddress* ProcessManager::clients = nullptr;
int ProcessManager::my_slot = 0;
int ProcessManager::max_kids = 1;

static const int kBacklog = 128;
// How long a stopping server waits for its workers before killing them.
static const int kWorkerStopSeconds = 10;

// SIGHUP asks the server's main loop to end; the handler itself only signals
// the workers, because exiting from inside a handler may deadlock on stdio.
static volatile sig_atomic_t hangup_requested = 0;

// Workers replaced by a reload that still finish their calls. A plain array
// of pids (0: free), because the SIGHUP handler signals them too.
static const int kMaxRetiring = 256;
static std::atomic<pid_t> retiring[kMaxRetiring];

// In a pool worker: set once a reload replaced it. Its slot's entry then
// belongs to its successor.
static std::atomic<int> worker_retired(0);  // lock-free: set by a handler
static int drain_fd = -1;

const char* dotted(in_addr addr, char* out, socklen_t size) {
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
  // A reload needs workers to replace; this process is its own only one.
  if (max_kids == 1) install(SIGUSR2, refuse_reload, SA_RESTART);
  if (max_kids == 1) spawn_child(0);  // serves in this process, never returns
  note_server_process();

  printf("Max child process set to %d\n", max_kids);
  fflush(stdout);
  install(SIGCHLD, handle_child_crash, SA_RESTART);
  install(SIGHUP, kill_children, 0);  // no restart: the main loop must notice it
  install(SIGUSR1, restart_children, SA_RESTART);
  install(SIGUSR2, reload_registry, SA_RESTART);

  if (execution_model == PROCESS_PER_USER) per_user_loop();
  pool_loop();
}

static void signal_workers(int sig) {
  for (int i = 0; i < ProcessManager::max_kids; i++) {
    int pid = load(&ProcessManager::children[i].pid);
    if (pid > 0 && load(&ProcessManager::children[i].status) != CHILD_ENDED) kill(pid, sig);
  }
  for (int i = 0; i < kMaxRetiring; i++)
    if (retiring[i] > 0) kill(retiring[i], sig);
}

bool retire_worker(pid_t pid) {
  for (int i = 0; i < kMaxRetiring; i++) {
    if (retiring[i] != 0) continue;
    retiring[i] = pid;
    return true;
  }
  return false;
}

int reap_retiring() {
  int left = 0;
  for (int i = 0; i < kMaxRetiring; i++) {
    pid_t pid = retiring[i];
    if (pid <= 0) continue;
    pid_t rc = waitpid(pid, nullptr, WNOHANG);
    if (rc == pid || (rc < 0 && errno == ECHILD))
      retiring[i] = 0;
    else
      left++;
  }
  return left;
}

int retiring_room() {
  int room = 0;
  for (int i = 0; i < kMaxRetiring; i++)
    if (retiring[i] == 0) room++;
  return room;
}

// Collects the workers that have ended; true when none is left.
static bool workers_collected() {
  bool all = reap_retiring() == 0;
  for (int i = 0; i < ProcessManager::max_kids; i++) {
    Child* child = &ProcessManager::children[i];
    int pid = load(&child->pid);
    if (pid <= 0) continue;
    pid_t rc = waitpid(pid, nullptr, WNOHANG);
    if (rc == pid || (rc < 0 && errno == ECHILD)) store(&child->pid, 0);
    else all = false;
  }
  return all;
}

// The server ends only after its workers: a restarted service must find the
// port free and no old worker still serving. A worker forked while the
// handler ran is signalled here; one that does not stop in time is killed.
void finish_if_hung_up() {
  if (!hangup_requested) return;
  for (int waited_ms = 0; !workers_collected(); waited_ms += 20) {
    if (waited_ms % 1000 == 0) signal_workers(SIGHUP);
    if (waited_ms >= kWorkerStopSeconds * 1000) {
      for (int i = 0; i < ProcessManager::max_kids; i++) {
        int pid = load(&ProcessManager::children[i].pid);
        if (pid > 0) kill(pid, SIGKILL);  // not yet collected: still ours
      }
      for (int i = 0; i < kMaxRetiring; i++)
        if (retiring[i] > 0) kill(retiring[i], SIGKILL);
    }
    usleep(20 * 1000);
  }
  remove_stub_copies();
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

int worker_has_ended(Child* child) {
  int pid = load(&child->pid);
  if (pid == 0) return 1;
  int status;
  pid_t rc = waitpid(pid, &status, WNOHANG | WUNTRACED);
  if (rc == 0) {
    if (load(&child->status) != CHILD_ENDED) return 0;
    // Marked ended by its handler and exiting now: collect it.
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else if (rc > 0 && WIFSTOPPED(status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  // Collected: its pid may now be reused, and no handler may signal it.
  store(&child->status, CHILD_ENDED);
  return 1;
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

void close_inherited_descriptors(int keep) {
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 65536) max = 65536;
  for (int fd = 3; fd < max; fd++)
    if (fd != keep) close(fd);
}

void end_with_server(pid_t server, bool forked_by_main_thread) {
  if (!forked_by_main_thread) return;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != server) _exit(1);  // gone before the request took hold
}

static void close_pair(int* filedes) {
  for (int i = 0; i < 2; i++) {
    if (filedes[i] >= 0) close(filedes[i]);
    filedes[i] = -1;
  }
}

int ProcessManager::spawn_child(int slot) {
  // No pid while starting: the old one, collected, may belong to anybody by
  // now, and the SIGHUP handler must not signal it.
  store(&children[slot].pid, 0);
  store(&children[slot].status, CHILD_STARTING);
  if (max_kids == 1) {
    my_slot = slot;
    child_main(0);
  }

  ClientAddress& client = clients[slot];
  if (execution_model == PROCESS_PER_USER) {
    if (client.filedes[1] >= 0) close(client.filedes[1]);
    client.filedes[0] = client.filedes[1] = -1;
    // Message boundaries: one passed socket, or one note, per message.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, client.filedes) < 0) {
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
  // In the server the signals stay blocked until the new pid is stored, so
  // that a SIGHUP handler running meanwhile cannot miss the new worker.
  sigset_t all, old_mask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old_mask);
  pid_t server = getpid();
  bool main_thread = syscall(SYS_gettid) == server;
  pid_t pid = fork();
  if (pid < 0) {
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    store(&children[slot].status, CHILD_ENDED);
    if (execution_model == PROCESS_PER_USER) close_pair(client.filedes);
    // No pause here: the caller may hold a lock; the pool loop tries again
    // at its next pass.
    fprintf(stderr, "Unable to fork a process...!\n");
    return -1;
  }
  if (pid == 0) {
    end_with_server(server, main_thread);
    my_slot = slot;
    const int deadly[] = {SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGABRT,
                          SIGFPE, SIGTERM, SIGBUS, SIGUSR1};
    for (int sig : deadly) install(sig, just_die, 0);
    // Pool: a reload's SIGUSR2 makes the worker stop accepting and end
    // after its last call. A per-user worker learns it from its link.
    if (execution_model == PROCESS_PER_USER) {
      signal(SIGUSR2, SIG_IGN);
    } else {
      drain_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      install(SIGUSR2, retire, SA_RESTART);
    }
    // A client closing its connection mid-reply must not end the worker and
    // every other call it serves: failed sends just return 0.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGSEGV, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);
    // Everything unblocked, also what the forking thread blocked.
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
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (execution_model == PROCESS_PER_USER) close(client.filedes[0]);
  return 0;
}

void ProcessManager::child_main(int slot) {
  // Forked workers load the registry's libraries themselves (startup.cpp).
  if (max_kids > 1) FS.load_worker_libraries();
  printf("calling to create a pvm task...\n");
  fflush(stdout);
  pvm_task_manager.create_pvm_task(slot);
  if (max_threads_per_kid == 0) fprintf(stderr, "Multi-threading is disabled\n");
  start_stop_listener();
  if (execution_model == PROCESS_PER_USER && max_kids > 1) per_user_worker_loop(slot);
  pool_worker_loop();
}

// Async-signal-safe decimal text of n at out (room for 12); its length.
static int decimal(int n, char* out) {
  char digits[12];
  int len = 0;
  unsigned int u = n < 0 ? 0u - static_cast<unsigned int>(n) : static_cast<unsigned int>(n);
  do {
    digits[len++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  int at = 0;
  if (n < 0) out[at++] = '-';
  while (len > 0) out[at++] = digits[--len];
  return at;
}

static bool is_crash(int sig) {
  return sig == SIGILL || sig == SIGABRT || sig == SIGFPE || sig == SIGBUS || sig == SIGSEGV;
}

// Only async-signal-safe calls: the signal may have interrupted any thread
// inside the allocator, stdio or PVM. The slot's PVM task ends by itself
// once its parent task is gone.
void ProcessManager::just_die(int sig) {
  if (is_crash(sig)) {
    char text[96] = "oops..crashing...(on signal ";
    int len = static_cast<int>(strlen(text));
    len += decimal(sig, text + len);
    memcpy(text + len, ", pid: ", 7);
    len += 7;
    len += decimal(load(&children[my_slot].pid), text + len);
    memcpy(text + len, ")\n", 2);
    len += 2;
    ssize_t ignored = write(STDOUT_FILENO, text, static_cast<size_t>(len));
    (void)ignored;
  }
  // Marked ended only now: the server kills a worker that reads ended, and
  // would cut the message short. A retired worker's slot is its
  // successor's.
  int slot_pid = load(&children[my_slot].pid);
  if (!worker_retired && (slot_pid == getpid() || slot_pid == 0))
    store(&children[my_slot].status, CHILD_ENDED);
  // A stop asked for (the server's SIGHUP or SIGUSR1, a service manager's
  // SIGTERM) is a normal end. _exit: the other threads may be inside calls,
  // and static destructors must not run under them.
  _exit(is_crash(sig) ? 1 : 0);
}

void ProcessManager::handle_child_crash(int) { note_worker_change(); }

void ProcessManager::kill_children(int sig) {
  signal_workers(sig);
  hangup_requested = 1;
}

void ProcessManager::restart_children(int sig) { signal_workers(sig); }

void ProcessManager::reload_registry(int) { request_reload(); }

void ProcessManager::refuse_reload(int) {
  static const char text[] =
      "Reload refused: with MAX_PROCESSES 1 the server is its own only worker and cannot be "
      "replaced; restart it to pick up changes\n";
  ssize_t ignored = write(STDERR_FILENO, text, sizeof(text) - 1);
  (void)ignored;
}

void ProcessManager::retire(int) {
  worker_retired = 1;
  uint64_t one = 1;
  if (drain_fd >= 0) {
    ssize_t ignored = write(drain_fd, &one, sizeof(one));
    (void)ignored;
  }
}

int worker_drain_fd() { return drain_fd; }

bool worker_is_retired() { return worker_retired != 0; }
