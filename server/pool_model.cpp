// Pool model: forked workers take turns accepting on the shared listening
// socket; a connection waits for its first request line in the worker's one
// waiting thread, then gets a connection thread (see process_manager.h).
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <utility>
#include <vector>

#include "accept_backoff.h"
#include "address_filter.h"
#include "first_line_wait.h"
#include "process_manager.h"
#include "process_table.h"
#include "registry_reload.h"
#include "tarrow.h"

// Pool model: the workers' turn at accept. The lock entry of the shared
// segment says who waits in accept; the turn itself is a robust mutex,
// shared by the workers through fork. A worker waiting for it wakes as soon
// as it is released (polling the lock entry cost up to 5 seconds a turn,
// and left the second worker idle), and when its holder dies the kernel
// frees it for the next waiter at once.
static pthread_mutex_t* accept_turn = nullptr;

void create_accept_turn() {
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

// After a reload: every worker stops accepting and ends after its last call
// (it finishes on the code it started with), and a new worker, forked from
// the new registry, takes its slot. The old ones are told first, so that no
// connection accepted from now on reaches them; until the new ones accept,
// connections wait in the listening queue.
static void replace_pool_workers() {
  for (int i = 0; i < ProcessManager::max_kids; i++) {
    Child* child = &ProcessManager::children[i];
    if (worker_has_ended(child)) continue;
    int pid = load(&child->pid);
    if (pid <= 0 || !retire_worker(pid)) continue;
    kill(pid, SIGUSR2);
    store(&child->pid, 0);
    store(&child->status, CHILD_ENDED);
  }
}

// Waits up to a second for a reload request (or a reload's progress).
static void wait_for_reload() {
  int wait_ms = reload_wait_ms();
  if (wait_ms < 0 || wait_ms > 1000) wait_ms = 1000;
  pollfd p[2] = {{reload_wake_fd(), POLLIN, 0}, {reload_watch_fd(), POLLIN, 0}};
  if (p[0].fd >= 0)
    poll(p, p[1].fd >= 0 ? 2 : 1, wait_ms);
  else
    usleep(static_cast<useconds_t>(wait_ms) * 1000);
}

void ProcessManager::pool_loop() {
  for (;;) {
    reap_retiring();
    set_reload_blocked(retiring_room() < max_kids);
    if (reload_step()) replace_pool_workers();
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
    wait_for_reload();
  }
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

// Holding the turn: waits until a connection is there or a reload retires
// this worker; false for the latter.
static bool connection_or_retired() {
  int drain = worker_drain_fd();
  if (drain < 0) return true;
  pollfd p[2] = {{PM.ServerSocket, POLLIN, 0}, {drain, POLLIN, 0}};
  for (;;) {
    if (worker_is_retired()) return false;
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return true;  // accept reports the trouble
    if (p[1].revents != 0) return false;
    if (p[0].revents != 0) return true;
  }
}

const int kRetired = -2;

// The next admitted client's socket, -1 when this accept brought none, or
// kRetired once a reload replaced this worker. Rejected clients are closed
// before anything is read. With other workers, accept is taken in turns.
static int accept_admitted(sockaddr_in* addr) {
  bool turns = ProcessManager::max_kids > 1;
  if (turns) take_accept_turn(ProcessManager::accept_lock);
  if (!connection_or_retired()) {
    if (turns) release_accept_turn(ProcessManager::accept_lock);
    return kRetired;
  }
  socklen_t len = sizeof(*addr);
  int sock = accept(PM.ServerSocket, reinterpret_cast<sockaddr*>(addr), &len);
  int err = errno;
  if (turns) release_accept_turn(ProcessManager::accept_lock);
  if (sock < 0) {
    accept_failed(err);
    return -1;
  }
  char ip[INET_ADDRSTRLEN];
  dotted(addr->sin_addr, ip, sizeof(ip));
  if (!validate_ip_address(ip)) {
    close(sock);
    fprintf(stderr, "Rejected: connection request from %s\n", ip);
    return -1;
  }
  return sock;
}

// Connections wait for their first whole request line in one thread of the
// worker, not in a thread each: a silent connection (a port scan, an idle
// add-in) costs a descriptor, never a thread. The accepting thread hands
// them over through handed_over and a wake-up of the waiting thread's loop.
static pthread_mutex_t handed_lock = PTHREAD_MUTEX_INITIALIZER;
static std::vector<std::pair<int, sockaddr_in>> handed_over;
static int wake_waiter = -1;  // eventfd watched by the waiting thread

static void take_handed_over(FirstLineWait* wait) {
  uint64_t count;
  ssize_t ignored = read(wake_waiter, &count, sizeof(count));
  (void)ignored;
  std::vector<std::pair<int, sockaddr_in>> taken;
  pthread_mutex_lock(&handed_lock);
  taken.swap(handed_over);
  pthread_mutex_unlock(&handed_lock);
  for (const auto& c : taken) wait->add(c.first, c.second);
}

// A retired worker's connection threads each count in alive_threads_count
// from accept to the end of their conversation (a thread or stream call
// runs inside it); connections still without a first line are the waiting
// thread's. Only the waiting thread may tell, since it takes them over.
static bool retired_and_idle(const FirstLineWait& wait) {
  if (!worker_is_retired() || wait.waiting() != 0) return false;
  pthread_mutex_lock(&handed_lock);
  bool handed = !handed_over.empty();
  pthread_mutex_unlock(&handed_lock);
  return !handed && FS.alive_threads_count == 0 && FS.thread_status_manager.running_count() == 0;
}

static std::atomic<bool> accepting_ended(false);

[[noreturn]] static void leave_retired_worker() {
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

static void* first_line_thread(void*) {
  FirstLineWait wait(kFirstLineSeconds, [](int sock, const sockaddr_in& addr, const char*) {
    FS.process_pool_service(sock, addr);
  });
  wait.on_leaving([](const sockaddr_in& addr) {
    char ip[INET_ADDRSTRLEN];
    fprintf(stderr, "Received 0 bytes, while handling a client (%s)'s request, closing socket.\n",
            dotted(addr.sin_addr, ip, sizeof(ip)));
  });
  if (!wait.ok() || !wait.watch(wake_waiter, EPOLLIN, [&wait](uint32_t) {
        take_handed_over(&wait);
      })) {
    // Without it no connection would ever be served: the worker ends, and
    // the server starts a new one.
    fprintf(stderr, "Unable to wait for clients' request lines (%s), exiting\n",
            strerror(errno));
    fflush(stdout);
    _exit(1);
  }
  for (;;) {
    if (!wait.run_once(accepting_ended ? 50 : 1000)) {
      fprintf(stderr, "Waiting for clients' request lines failed (%s)\n", strerror(errno));
      sleep(1);
    }
    FS.retry_pool_threads();
    if (accepting_ended && retired_and_idle(wait)) leave_retired_worker();
  }
  return nullptr;
}

static void hand_to_waiter(int sock, const sockaddr_in& addr) {
  pthread_mutex_lock(&handed_lock);
  handed_over.emplace_back(sock, addr);
  pthread_mutex_unlock(&handed_lock);
  uint64_t one = 1;
  ssize_t ignored = write(wake_waiter, &one, sizeof(one));
  (void)ignored;
}

// Starts the waiting thread, retrying every second (with a report) while
// threads cannot be created: the worker accepts nothing before it runs.
static void start_first_line_thread() {
  while (wake_waiter < 0) {
    wake_waiter = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_waiter >= 0) break;
    fprintf(stderr, "Unable to create an eventfd (%s), trying again in 1 s\n", strerror(errno));
    sleep(1);
  }
  for (;;) {
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, first_line_thread, nullptr);
    if (rc == 0) {
      pthread_detach(thread);
      return;
    }
    fprintf(stderr, "Unable to create a thread (%s), trying again in 1 s\n", strerror(rc));
    sleep(1);
  }
}

// True when the connection's first whole line is there already, as it
// mostly is: it is then served without a round through the waiting thread.
static bool first_line_arrived(int sock) {
  char peeked[1024];
  ssize_t n = recv(sock, peeked, sizeof(peeked), MSG_PEEK | MSG_DONTWAIT);
  return n == static_cast<ssize_t>(sizeof(peeked)) ||
         (n > 0 && memchr(peeked, '\0', static_cast<size_t>(n)) != nullptr);
}

void ProcessManager::pool_worker_loop() {
  // Without connection threads the conversation is served here, and the
  // worker accepts nothing else until it ends.
  if (max_threads_per_kid == 0) {
    for (;;) {
      sockaddr_in addr;
      int sock = accept_admitted(&addr);
      if (sock == kRetired) leave_retired_worker();  // its conversations ran here
      if (sock >= 0) FS.process_pool_service(sock, addr);
    }
  }
  // This thread only accepts: a stop request cancels the thread running a
  // call, and the worker's accepting must not go down with it.
  start_first_line_thread();
  for (;;) {
    sockaddr_in addr;
    int sock = accept_admitted(&addr);
    if (sock == kRetired) break;
    if (sock < 0) continue;
    if (first_line_arrived(sock))
      FS.process_pool_service(sock, addr);
    else
      hand_to_waiter(sock, addr);
  }
  // Retired: the waiting thread ends the worker once its last conversation
  // and call are over.
  accepting_ended = true;
  uint64_t one = 1;
  ssize_t ignored = write(wake_waiter, &one, sizeof(one));
  (void)ignored;
  for (;;) pause();
}
