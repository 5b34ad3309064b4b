// Pool model: forked workers take turns accepting on the shared listening
// socket; a connection waits for its first request line in the worker's one
// waiting thread, then gets a connection thread (see process_manager.h).
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "accept_backoff.h"
#include "address_filter.h"
#include "first_line_wait.h"
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

// The next admitted client's socket, or -1 when this accept brought none.
// Rejected clients are closed before anything is read. With other workers,
// accept is taken in turns.
static int accept_admitted(sockaddr_in* addr) {
  bool turns = ProcessManager::max_kids > 1;
  if (turns) take_accept_turn(ProcessManager::accept_lock);
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
    if (!wait.run_once(1000)) {
      fprintf(stderr, "Waiting for clients' request lines failed (%s)\n", strerror(errno));
      sleep(1);
    }
    FS.retry_pool_threads();
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
      if (sock >= 0) FS.process_pool_service(sock, addr);
    }
  }
  // This thread only accepts: a stop request cancels the thread running a
  // call, and the worker's accepting must not go down with it.
  start_first_line_thread();
  for (;;) {
    sockaddr_in addr;
    int sock = accept_admitted(&addr);
    if (sock < 0) continue;
    if (first_line_arrived(sock))
      FS.process_pool_service(sock, addr);
    else
      hand_to_waiter(sock, addr);
  }
}
