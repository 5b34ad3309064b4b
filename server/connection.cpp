// Connection handling: one conversation of request lines per stream socket.
#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "data_exchange.h"
#include "idle_threads.h"
#include "line_transport.h"
#include "pvm_task_table.h"
#include "tarrow.h"

static const int kLineSize = 1024;
static const int kThreadAttempts = 4;
static const int kThreadRetrySeconds = 30;

// The client's address in dotted form, into the caller's own buffer: many
// connection threads log at once.
static const char* dotted(const sockaddr_in& addr, char* out, socklen_t size) {
  if (inet_ntop(AF_INET, &addr.sin_addr, out, size) == nullptr) snprintf(out, size, "?");
  return out;
}

int Tarrow::HandleClient(void* record) {
  HCStruct* hc = static_cast<HCStruct*>(record);
  char ip[INET_ADDRSTRLEN];
  dotted(hc->ClientAddr, ip, sizeof(ip));

  PROCESS_REQUEST_STATUS status = PROCESS_CONTINUES;
  while (status != PROCESS_COMPLETED) {
    int sock = hc->sock_desc;
    // No wait of its own before the line: a quiet client is no error (there
    // is no idle limit on a conversation), and receive_line blocks until the
    // line or the end comes.
    char line[kLineSize];
    int n = receive_line(sock, line, sizeof(line));
    if (n < 1) {
      // A cut-off request line is no request: nothing of it is served.
      if (n == LINE_ENDED)
        fprintf(stderr, "Received 0 bytes, while handling a client (%s)'s request, closing socket.\n",
                ip);
      else
        fprintf(stderr, "Error while handling a client (%s)'s request, closing socket.\n", ip);
      close(sock);
      hc->sock_desc = 0;
      return 0;
    }
    status = ProcessRequest(hc, line);
    if (hc->sock_desc == 0 && status == PROCESS_CONTINUES) return 0;
  }
  return 1;
}

namespace {

// The end of a pool conversation. A destructor, so that it also runs when a
// stop request cancels the thread inside its function call (cancellation
// unwinds the stack and runs destructors).
struct ConversationEnd {
  HCStruct* hc;
  bool on_heap;
  ~ConversationEnd() {
    // Also after an error: a failed wait leaves the socket open.
    if (hc->sock_desc != 0) close(hc->sock_desc);
    hc->tarrow->alive_threads_count--;
    if (on_heap) delete hc;
  }
};

void run_conversation(HCStruct* hc, bool on_heap) {
  fprintf(stderr, "In process_pool_service...\n");
  ConversationEnd end = {hc, on_heap};
  if (hc->tarrow->HandleClient(hc) < 1) fprintf(stderr, "Error in HandleClient call\n");
}

}  // namespace

void* Tarrow::process_pool_thread(void* record) {
  run_conversation(static_cast<HCStruct*>(record), true);
  return nullptr;
}

// Pool workers with connection threads. A worker alone at the socket lets
// its idle threads all wait in accept at once: the kernel gives each
// connection to one of them, which serves it itself, and only a thread that
// leaves none waiting starts another first (there is no cap). A call thus
// waits for no second thread to wake, which cost a third of a short call.
// Workers taking turns at accept accept in their main thread and hand each
// connection to a waiting or new thread: their main thread, back at the turn
// at once, mostly takes the next connection too, and a stop request reaches
// only the worker it connects to, which must be the one running the call.
namespace {

// Each conversation starts as on a new thread (a call leaves cancellation
// off, a stub may have changed its type). A stop request ends the thread
// inside it (run_conversation cleans up as it unwinds).
void serve_conversation(HCStruct* hc, bool on_heap) {
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  run_conversation(hc, on_heap);
  // A stop that reached the call after its last safe point is still
  // pending: it ends this thread here, as it did when every thread ended
  // with its conversation, instead of stopping the next conversation's call.
  call_safe_point();
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

// --- Alone at the socket: every idle thread waits in accept.

Tarrow::AcceptNext accept_next = nullptr;
bool accept_alone = false;
// The mask of the worker's main thread: a stub may have changed that of the
// thread that starts the next one.
sigset_t pool_signal_mask;
// Threads in accept or on their way to it.
std::atomic<int> accepting(0);

// Accepts, serves, accepts again; ends when accept was idle for its
// time-out and another thread still waits.
void* accepting_thread(void* server) {
  pthread_sigmask(SIG_SETMASK, &pool_signal_mask, nullptr);
  // Off while accepting: nothing may end a thread that the next connection
  // relies on.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  for (;;) {
    accepting++;
    sockaddr_in addr;
    int sock = accept_next(&addr);
    int others = --accepting;
    if (sock == Tarrow::ACCEPT_IDLE && others > 0) return nullptr;
    if (sock >= 0) static_cast<Tarrow*>(server)->process_pool_service(sock, addr);
  }
}

// --- Taking turns: the accepting thread hands each connection over.

// Pool connection threads that finished a conversation wait here for the
// next one instead of ending: creating a thread per connection was a
// twentieth of a short call.
IdleThreads idle_pool_threads(Tarrow::kPoolThreadIdleSeconds);

bool hand_over(HCStruct* hc) { return idle_pool_threads.hand_over(hc); }

// Body of a pool thread that is handed its conversations: one after the other.
void* handed_over_thread(void* record) {
  HCStruct* hc = static_cast<HCStruct*>(record);
  while (hc != nullptr) {
    serve_conversation(hc, true);
    hc = static_cast<HCStruct*>(idle_pool_threads.next());
  }
  return nullptr;
}

void report_thread_failure(int rc, const char* giving_up) {
  fprintf(stderr, "Error creating a thread, ");
  switch (rc) {
    case ENOMEM: fprintf(stderr, "error code: ENOMEM "); break;
    case EINVAL: fprintf(stderr, "error code: EINVAL "); break;
    case EAGAIN: fprintf(stderr, "error code: EAGAIN "); break;
    default: fprintf(stderr, "Unknown error code %d ", rc); break;
  }
  if (giving_up != nullptr)
    fprintf(stderr, "... giving up, %s\n", giving_up);
  else
    fprintf(stderr, "... will continue after %d secs\n", kThreadRetrySeconds);
}

// Starts a detached pool thread, with the bounded retry; false after the
// last attempt failed.
bool start_thread(void* (*body)(void*), void* arg, const char* giving_up) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = 0;
  for (int attempt = 1;; attempt++) {
    rc = pthread_create(&thread, &attr, body, arg);
    if (rc == 0) break;
    report_thread_failure(rc, attempt == kThreadAttempts ? giving_up : nullptr);
    if (attempt == kThreadAttempts) break;
    sleep(kThreadRetrySeconds);
  }
  pthread_attr_destroy(&attr);
  return rc == 0;
}

}  // namespace

int Tarrow::start_pool_threads(AcceptNext next) {
  accept_next = next;
  pthread_sigmask(SIG_SETMASK, nullptr, &pool_signal_mask);
  // Set before the thread exists: it may serve a connection at once.
  accept_alone = true;
  if (!start_thread(accepting_thread, this, "accepting in the main thread")) {
    accept_alone = false;
    return 0;
  }
  total_threads_count++;
  return 1;
}

int Tarrow::process_pool_service(int ClientSock, sockaddr_in ClientAddr) {
  if (max_threads_per_kid != 0 && accept_alone) {
    // Called by an accepting thread: the next connection needs another.
    if (accepting.load() == 0) {
      if (!start_thread(accepting_thread, this, "closing the connection")) {
        // Closing lets the client see the end instead of waiting forever.
        close(ClientSock);
        return 0;
      }
      total_threads_count++;
    }
    // On the stack: a thread whose conversation allocates nothing (an idle
    // connection) then costs no memory of the allocator's, which gives each
    // thread that allocates an arena of its own.
    HCStruct hc;
    hc.pvm_id = pvm_task_manager.get_task_id(-1);
    hc.sock_desc = ClientSock;
    hc.ClientAddr = ClientAddr;
    hc.tarrow = this;
    alive_threads_count++;
    serve_conversation(&hc, false);
    return 1;
  }

  HCStruct* hc = new (std::nothrow) HCStruct;
  if (hc == nullptr) {
    fprintf(stderr,
            "Memory allocation failure, while allocating memory for HCStruct at "
            "process_pool_service function\n");
    close(ClientSock);
    return 0;
  }
  hc->pvm_id = pvm_task_manager.get_task_id(-1);
  hc->sock_desc = ClientSock;
  hc->ClientAddr = ClientAddr;
  hc->tarrow = this;

  if (max_threads_per_kid == 0) {
    total_threads_count++;
    alive_threads_count++;
    process_pool_thread(hc);
    return 1;
  }

  // Counted before a thread has it: it may end and uncount itself at once.
  alive_threads_count++;
  if (hand_over(hc)) return 1;
  if (!start_thread(handed_over_thread, hc, "closing the connection")) {
    alive_threads_count--;
    close(ClientSock);
    delete hc;
    return 0;
  }
  total_threads_count++;
  return 1;
}

int Tarrow::process_per_user_service(int slot, int ClientSock, sockaddr_in ClientAddr) {
  HCStruct hc;
  hc.pvm_id = pvm_task_manager.get_task_id(slot);
  hc.sock_desc = ClientSock;
  hc.ClientAddr = ClientAddr;
  hc.tarrow = this;
  int rc = HandleClient(&hc);
  if (hc.sock_desc != 0) close(hc.sock_desc);
  return rc;
}
