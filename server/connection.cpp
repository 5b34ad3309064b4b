// Connection handling: one conversation of request lines per stream socket.
#include <arpa/inet.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <deque>
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

// Pool connection threads: at most max_threads_per_kid serve conversations
// in a process at once; a connection beyond them waits its turn in arrival
// order. A thread that finished a conversation takes the next waiting one,
// or waits idle for one (creating a thread per connection was a twentieth
// of a short call). A thread that cannot be created is reported and tried
// again; its connection waits meanwhile, it is never dropped.
namespace {

const int kThreadIdleSeconds = 60;
// Reports of failed thread creation: at most one a second.
const int kReportEverySeconds = 1;

IdleThreads idle_pool_threads(kThreadIdleSeconds);

pthread_mutex_t queue_lock = PTHREAD_MUTEX_INITIALIZER;
std::deque<HCStruct*> waiting_turn;  // connections no thread has taken yet
int pool_threads = 0;                // started and not yet ended
time_t last_report = 0;

// Each conversation starts as on a new thread (a call leaves cancellation
// off, a stub may have changed its type). A stop request ends the thread
// inside it (run_conversation cleans up as it unwinds).
void serve_conversation(HCStruct* hc) {
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  run_conversation(hc, true);
  // A stop that reached the call after its last safe point is still
  // pending: it ends this thread here, as it did when every thread ended
  // with its conversation, instead of stopping the next conversation's call.
  call_safe_point();
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
}

// The next conversation for a thread that finished one, or nullptr when the
// thread is to end (it is then no longer counted).
HCStruct* next_conversation() {
  for (;;) {
    pthread_mutex_lock(&queue_lock);
    HCStruct* hc = nullptr;
    if (!waiting_turn.empty()) {
      hc = waiting_turn.front();
      waiting_turn.pop_front();
    }
    pthread_mutex_unlock(&queue_lock);
    if (hc != nullptr) return hc;
    hc = static_cast<HCStruct*>(idle_pool_threads.next());
    if (hc != nullptr) return hc;
    // Idle for its time: it ends, unless a connection queued meanwhile (a
    // queued one found every thread counted and none idle).
    pthread_mutex_lock(&queue_lock);
    bool queued = !waiting_turn.empty();
    if (!queued) pool_threads--;
    pthread_mutex_unlock(&queue_lock);
    if (!queued) return nullptr;
  }
}

// A cancelled conversation ends its thread: the thread is uncounted as it
// goes.
struct CountedThread {
  bool counted = true;
  ~CountedThread() {
    if (!counted) return;
    pthread_mutex_lock(&queue_lock);
    pool_threads--;
    pthread_mutex_unlock(&queue_lock);
  }
};

void* pool_thread_main(void* record) {
  CountedThread self;
  for (HCStruct* hc = static_cast<HCStruct*>(record); hc != nullptr; hc = next_conversation())
    serve_conversation(hc);
  self.counted = false;  // next_conversation uncounted it
  return nullptr;
}

void report_thread_failure(int rc) {
  fprintf(stderr, "Error creating a thread, ");
  switch (rc) {
    case ENOMEM: fprintf(stderr, "error code: ENOMEM "); break;
    case EINVAL: fprintf(stderr, "error code: EINVAL "); break;
    case EAGAIN: fprintf(stderr, "error code: EAGAIN "); break;
    default: fprintf(stderr, "Unknown error code %d ", rc); break;
  }
  fprintf(stderr, "... will continue after %d secs\n", kReportEverySeconds);
}

// Starts a detached pool thread for hc; its error number, or 0.
int start_pool_thread(HCStruct* hc) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, pool_thread_main, hc);
  pthread_attr_destroy(&attr);
  return rc;
}

// A negative setting reads as the default.
int thread_limit() { return max_threads_per_kid > 0 ? max_threads_per_kid : 512; }

// Queues hc (when not null) and gives the first waiting connection to a new
// thread if the limit allows one; otherwise it waits its turn.
void start_thread_or_queue(HCStruct* hc) {
  pthread_mutex_lock(&queue_lock);
  if (hc != nullptr) waiting_turn.push_back(hc);
  if (waiting_turn.empty() || pool_threads >= thread_limit()) {
    pthread_mutex_unlock(&queue_lock);
    return;
  }
  HCStruct* first = waiting_turn.front();
  waiting_turn.pop_front();
  pool_threads++;
  pthread_mutex_unlock(&queue_lock);

  int rc = start_pool_thread(first);
  if (rc == 0) {
    FS.total_threads_count++;
    return;
  }
  pthread_mutex_lock(&queue_lock);
  pool_threads--;
  waiting_turn.push_front(first);  // still first in line
  time_t now = time(nullptr);
  bool report = now - last_report >= kReportEverySeconds;
  if (report) last_report = now;
  pthread_mutex_unlock(&queue_lock);
  if (report) report_thread_failure(rc);
}

}  // namespace

void Tarrow::retry_pool_threads() { start_thread_or_queue(nullptr); }

int Tarrow::process_pool_service(int ClientSock, sockaddr_in ClientAddr) {
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
  // Counted before a thread has it: it may end and uncount itself at once.
  alive_threads_count++;

  if (max_threads_per_kid == 0) {
    total_threads_count++;
    process_pool_thread(hc);
    return 1;
  }
  if (!idle_pool_threads.hand_over(hc)) start_thread_or_queue(hc);
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
