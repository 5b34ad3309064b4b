// Pool model: forked workers take turns accepting on the shared listening
// socket, and give each connection a thread (see process_manager.h).
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include "accept_backoff.h"
#include "address_filter.h"
#include "process_manager.h"
#include "process_table.h"
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
// Set when the listening socket carries the idle threads' receive time-out.
static bool listening_time_out = false;

static int accept_admitted(sockaddr_in* addr) {
  bool turns = ProcessManager::max_kids > 1;
  if (turns) take_accept_turn(ProcessManager::accept_lock);
  socklen_t len = sizeof(*addr);
  int sock = accept(PM.ServerSocket, reinterpret_cast<sockaddr*>(addr), &len);
  int err = errno;
  if (turns) release_accept_turn(ProcessManager::accept_lock);
  if (sock < 0) {
    if (err == EAGAIN || err == EWOULDBLOCK) return Tarrow::ACCEPT_IDLE;
    accept_failed(err);
    return Tarrow::ACCEPT_NONE;
  }
  char ip[INET_ADDRSTRLEN];
  dotted(addr->sin_addr, ip, sizeof(ip));
  if (!validate_ip_address(ip)) {
    close(sock);
    fprintf(stderr, "Rejected: connection request from %s\n", ip);
    return Tarrow::ACCEPT_NONE;
  }
  // An accepted socket inherits the listening socket's time-out; a
  // conversation has no idle limit.
  if (listening_time_out) {
    timeval none = {0, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
  }
  return sock;
}

// A worker alone at the socket lets its idle pool threads wait in accept at
// once; the time-out lets those of a past burst end.
static bool let_threads_accept_at_once(int server_socket) {
  if (ProcessManager::max_kids > 1) return false;
  timeval idle = {Tarrow::kPoolThreadIdleSeconds, 0};
  listening_time_out =
      setsockopt(server_socket, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof(idle)) == 0;
  return listening_time_out;
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

