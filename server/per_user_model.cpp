// Per-user model. The server process alone accepts, in one thread: each
// connection is filtered at once (ALLOW_CLIENTS, before anything is read),
// waits with all others in one epoll loop for its first whole request line
// (nothing of it is read), then binds its client address to a slot and
// queues for the slot's turn. At its turn the socket itself is passed to the
// slot's worker over the slot's link (a Unix socket pair, SCM_RIGHTS); the
// worker serves the conversation on the client's socket as a pool worker
// does, and closes it.
//
// A slot serves one conversation at a time: a user's library state is its
// own and need not be thread-safe. The server passes the slot's next
// connection while the worker still serves one, so that the worker goes on
// to it without waiting for the server. Two requests are answered before the
// slot's turn, because they must not wait behind a long call of the same
// address: stop_thread (answered here, passed to the worker its key names,
// through that worker's own socket, see stop_forwarding.h) and __CLOSE__
// (the connection is closed, as the worker would).
//
// On the link the worker notes kTaken when it takes a passed socket to
// serve it (until then the server keeps its own copy, so a worker that dies
// first leaves the socket to its successor), and kRefused when a socket did
// not arrive whole.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <deque>
#include <vector>

#include "accept_backoff.h"
#include "address_filter.h"
#include "descriptor_passing.h"
#include "first_line_wait.h"
#include "line_transport.h"
#include "process_manager.h"
#include "process_table.h"
#include "registry_reload.h"
#include "stop_forwarding.h"
#include "tarrow.h"

namespace {

const int kLineSize = 1024;
// Accepts per turn of the loop, so that a flood of connections does not
// keep the loop from the connections already waiting.
const int kAcceptsPerTurn = 64;
const char kTaken = 'T', kRefused = 'R';

struct Waiting {
  int sock;
  sockaddr_in addr;
};

struct SlotState {
  std::deque<Waiting> queue;  // ready connections waiting for the slot's turn
  Waiting passing = {-1, {}};  // passed to the worker, not yet taken: at most one
  bool linked = false;         // the worker runs and its link is watched
};

std::vector<SlotState> slots;
FirstLineWait* waiter = nullptr;
// Set by SIGCHLD: a worker ended or was stopped.
volatile sig_atomic_t worker_changed = 0;

void dispatch(int slot);

const char* ip_of(const sockaddr_in& addr, char* out, socklen_t size) {
  return dotted(addr.sin_addr, out, size);
}

// Command word of a request line, compared without regard to case.
bool is_command(const char* line, const char* word) {
  size_t n = strlen(word);
  return strncasecmp(line, word, n) == 0 && (line[n] == '\0' || line[n] == '~');
}

// True when the client has already ended the connection: its request is
// left unserved.
bool client_left(int sock) {
  pollfd p = {sock, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Sends a short reply without ever blocking the loop: a client that does
// not read loses its connection instead.
bool reply_at_once(int sock, const char* text) {
  size_t total = strlen(text) + 1;
  ssize_t n = send(sock, text, total, MSG_DONTWAIT | MSG_NOSIGNAL);
  return n == static_cast<ssize_t>(total);
}

void close_queued(int sock) {
  waiter->unwatch(sock);
  close(sock);
}

// Watched while queued, so that a client that leaves frees its descriptor
// at once.
void watch_queued(int slot, int sock) {
  waiter->watch(sock, EPOLLRDHUP, [slot, sock](uint32_t) {
    std::deque<Waiting>& q = slots[slot].queue;
    for (auto it = q.begin(); it != q.end(); ++it) {
      if (it->sock != sock) continue;
      q.erase(it);
      close_queued(sock);
      return;
    }
  });
}

void queue_front(int slot, const Waiting& w) {
  slots[slot].queue.push_front(w);
  watch_queued(slot, w.sock);
}

// The worker of the slot ended, was stopped or lost its link: a socket it
// had not taken yet goes back to the head of the queue, and a new worker
// starts at once when connections wait.
void worker_lost(int slot) {
  SlotState& s = slots[slot];
  if (!s.linked) return;
  s.linked = false;
  int& link = ProcessManager::clients[slot].filedes[1];
  waiter->unwatch(link);
  Child* child = &ProcessManager::children[slot];
  int pid = load(&child->pid);
  if (!worker_has_ended(child) && pid > 0) {
    // Alive without its link it could serve nobody.
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  store(&child->status, CHILD_ENDED);
  close(link);
  link = -1;
  if (s.passing.sock >= 0) queue_front(slot, s.passing);
  s.passing.sock = -1;
  dispatch(slot);
}

void on_link(int slot, uint32_t events) {
  SlotState& s = slots[slot];
  int link = ProcessManager::clients[slot].filedes[1];
  for (;;) {
    char note;
    ssize_t n = recv(link, &note, 1, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && (events & (EPOLLHUP | EPOLLERR)) == 0)
      break;
    if (n <= 0) {
      worker_lost(slot);
      return;
    }
    if ((note == kTaken || note == kRefused) && s.passing.sock >= 0) {
      if (note == kRefused) {
        char ip[INET_ADDRSTRLEN];
        fprintf(stderr, "Worker of slot %d could not take a connection from %s, closing it\n", slot,
                ip_of(s.passing.addr, ip, sizeof(ip)));
      }
      close(s.passing.sock);
      s.passing.sock = -1;
    }
  }
  dispatch(slot);
}

// Starts the slot's worker if it is not running; false when it cannot be.
bool ensure_worker(int slot) {
  SlotState& s = slots[slot];
  if (s.linked) return true;
  if (load(&ProcessManager::children[slot].pid) != 0)
    fprintf(stderr, "Server crashed... starting a new server..\n");
  if (PM.spawn_child(slot) != 0) return false;
  int link = ProcessManager::clients[slot].filedes[1];
  if (!waiter->watch(link, EPOLLIN, [slot](uint32_t events) { on_link(slot, events); })) {
    fprintf(stderr, "Unable to watch the link of slot %d\n", slot);
    return false;
  }
  s.linked = true;
  return true;
}

// Passes the slot's next connection to its worker unless one passed
// earlier still waits there.
void dispatch(int slot) {
  SlotState& s = slots[slot];
  while (s.passing.sock < 0 && !s.queue.empty()) {
    Waiting w = s.queue.front();
    s.queue.pop_front();
    waiter->unwatch(w.sock);
    if (client_left(w.sock)) {
      close(w.sock);
      continue;
    }
    bool fresh = !s.linked;
    if (!ensure_worker(slot)) {
      fprintf(stderr, "No worker for slot %d, closing the client's connection\n", slot);
      close(w.sock);
      continue;
    }
    if (!pass_descriptor(ProcessManager::clients[slot].filedes[1], w.sock)) {
      if (fresh) {
        fprintf(stderr, "Unable to pass a connection to the worker of slot %d, closing it\n", slot);
        close(w.sock);
        continue;
      }
      queue_front(slot, w);
      worker_lost(slot);  // starts a new worker, which gets the connection
      return;
    }
    s.passing = w;
  }
}

void reject_unbound(const sockaddr_in& addr) {
  char ip[INET_ADDRSTRLEN];
  fprintf(stderr,
          "Rejected: connection request from %s, all %d worker slots are bound to other "
          "clients\n",
          ip_of(addr, ip, sizeof(ip)), ProcessManager::max_kids);
}

// stop_thread ahead of the slot's turn: answered here, passed to the worker
// that runs the call; the connection then waits for its next line.
void stop_out_of_turn(int slot, int sock, const sockaddr_in& addr) {
  char line[kLineSize];
  // The whole line is there: this read does not wait.
  if (receive_line(sock, line, sizeof(line)) < 1 || !reply_at_once(sock, "__OK__")) {
    close(sock);
    return;
  }
  const char* tilde = strchr(line, '~');
  pass_stop_to_slot(slot, tilde == nullptr ? "" : tilde + 1);
  waiter->add(sock, addr);
}

void on_first_line(int sock, const sockaddr_in& addr, const char* line) {
  int slot = PM.find_client_slot(addr.sin_addr);
  if (slot < 0) {
    reject_unbound(addr);
    close(sock);
    return;
  }
  if (is_command(line, "stop_thread")) {
    stop_out_of_turn(slot, sock, addr);
    return;
  }
  if (is_command(line, "__CLOSE__")) {
    close(sock);
    return;
  }
  SlotState& s = slots[slot];
  s.queue.push_back({sock, addr});
  // Watched only when it has to wait.
  if (s.passing.sock >= 0 || s.queue.size() > 1) watch_queued(slot, sock);
  dispatch(slot);
}

void accept_connections() {
  for (int i = 0; i < kAcceptsPerTurn; i++) {
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    int sock = accept(PM.ServerSocket, reinterpret_cast<sockaddr*>(&addr), &len);
    if (sock < 0) {
      // Out of descriptors the pending connection stays queued, and the
      // listening socket reads ready again at once: pause, report rarely.
      if (errno != EAGAIN && errno != EWOULDBLOCK) accept_failed(errno);
      return;
    }
    char ip[INET_ADDRSTRLEN];
    ip_of(addr, ip, sizeof(ip));
    if (!validate_ip_address(ip)) {
      close(sock);
      fprintf(stderr, "Rejected: connection request from %s\n", ip);
      continue;
    }
    waiter->add(sock, addr);
  }
}

// A slot's worker replaced by a reload: it serves what it was passed before
// (its link is shut for writing, so after that it reads the end of it),
// finishes its calls, and ends. Its notes still come in: a socket it takes
// is no longer the server's to keep; one it never took, because it died,
// goes to the slot's new worker.
struct RetiredLink {
  int slot;
  Waiting passing;
};

void on_retired_link(int link, RetiredLink* r) {
  for (;;) {
    char note;
    ssize_t n = recv(link, &note, 1, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n > 0) {
      if ((note == kTaken || note == kRefused) && r->passing.sock >= 0) {
        close(r->passing.sock);
        r->passing.sock = -1;
      }
      continue;
    }
    waiter->unwatch(link);
    close(link);
    if (r->passing.sock >= 0) {
      queue_front(r->slot, r->passing);
      dispatch(r->slot);
    }
    delete r;
    return;
  }
}

// After a reload: each slot's worker is replaced between two conversations.
// The next connection of the slot starts a worker of the new registry.
void replace_per_user_workers() {
  for (int i = 0; i < ProcessManager::max_kids; i++) {
    SlotState& s = slots[i];
    if (!s.linked) continue;
    Child* child = &ProcessManager::children[i];
    int pid = load(&child->pid);
    int& link = ProcessManager::clients[i].filedes[1];
    if (worker_has_ended(child) || pid <= 0 || !retire_worker(pid)) {
      worker_lost(i);
      continue;
    }
    waiter->unwatch(link);
    RetiredLink* r = new RetiredLink{i, s.passing};
    int old_link = link;
    shutdown(old_link, SHUT_WR);
    if (!waiter->watch(old_link, EPOLLIN, [old_link, r](uint32_t) { on_retired_link(old_link, r); })) {
      // Unwatched it could not give back a socket it never took.
      if (r->passing.sock >= 0) queue_front(i, r->passing);
      close(old_link);
      delete r;
    }
    link = -1;
    s.passing.sock = -1;
    s.linked = false;
    store(&child->pid, 0);
    store(&child->status, CHILD_ENDED);
    dispatch(i);
  }
}

// Replaces workers that ended or were stopped, whether or not their slot
// has a conversation: a stopped worker must not hold its address's queue.
void check_workers() {
  for (int i = 0; i < ProcessManager::max_kids; i++)
    if (slots[i].linked && worker_has_ended(&ProcessManager::children[i])) worker_lost(i);
}

}  // namespace

void note_worker_change() { worker_changed = 1; }

int ProcessManager::find_client_slot(in_addr address) {
  for (int i = 0; i < max_kids; i++) {
    if (clients[i].sin_addr.s_addr == address.s_addr) return i;
    if (clients[i].sin_addr.s_addr == 0) {
      clients[i].sin_addr = address;
      char ip[INET_ADDRSTRLEN];
      printf("connection from a new client (%s), accepted!\n", dotted(address, ip, sizeof(ip)));
      return i;
    }
  }
  return -1;
}

void ProcessManager::per_user_loop() {
  slots.resize(static_cast<size_t>(max_kids));
  static FirstLineWait wait(kFirstLineSeconds, on_first_line);
  waiter = &wait;
  int flags = fcntl(ServerSocket, F_GETFL);
  if (!wait.ok() || flags < 0 || fcntl(ServerSocket, F_SETFL, flags | O_NONBLOCK) < 0 ||
      !wait.watch(ServerSocket, EPOLLIN, [](uint32_t) { accept_connections(); })) {
    fprintf(stderr, "Unable to wait for client connections, exiting\n");
    fflush(stdout);
    _exit(1);
  }
  // Their events are taken by reload_step at every turn.
  if (reload_wake_fd() >= 0) wait.watch(reload_wake_fd(), EPOLLIN, [](uint32_t) {});
  if (reload_watch_fd() >= 0) wait.watch(reload_watch_fd(), EPOLLIN, [](uint32_t) {});
  time_t last_check = 0;
  for (;;) {
    finish_if_hung_up();
    reap_retiring();
    set_reload_blocked(retiring_room() < max_kids);
    if (reload_step()) replace_per_user_workers();
    int wait_ms = reload_wait_ms();
    if (wait_ms < 0 || wait_ms > 1000) wait_ms = 1000;
    if (!wait.run_once(wait_ms)) {
      fprintf(stderr, "Waiting for client connections failed, exiting\n");
      fflush(stdout);
      _exit(1);
    }
    time_t now = time(nullptr);
    if (worker_changed || now != last_check) {
      worker_changed = 0;
      last_check = now;
      check_workers();
    }
  }
}

// A worker whose server is gone ends. _exit: call threads may still run,
// and static destructors (the PVM table's among them) must not run under them.
[[noreturn]] static void leave_worker() {
  fflush(stdout);
  fflush(stderr);
  _exit(0);
}

// The worker's side of the link: a socket at a time, each served to its end.
void ProcessManager::per_user_worker_loop(int slot) {
  int link = clients[slot].filedes[0];
  for (;;) {
    int sock = -1;
    int rc = receive_descriptor(link, &sock);
    if (rc == 0) {
      // The server shut the link: a reload replaced this worker (or the
      // server is gone, and then this process ends with it). Its thread and
      // stream calls finish on the code they started with.
      while (FS.thread_status_manager.running_count() > 0) usleep(50 * 1000);
      leave_worker();
    }
    if (rc < 0) {
      if (!send_note(link, kRefused)) leave_worker();
      continue;
    }
    // Taken: from here on the client's connection lives in this process only.
    if (!send_note(link, kTaken)) leave_worker();
    if (client_left(sock)) {
      // Its client left while it waited here: nothing of it runs.
      close(sock);
      continue;
    }
    sockaddr_in addr;
    socklen_t len = sizeof(addr);
    if (getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET) {
      memset(&addr, 0, sizeof(addr));
      addr.sin_family = AF_INET;
      addr.sin_addr = clients[slot].sin_addr;
    }
    FS.process_per_user_service(slot, sock, addr);
  }
}
