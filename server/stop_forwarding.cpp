#include "stop_forwarding.h"

#include <errno.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "process_manager.h"
#include "process_table.h"
#include "tarrow.h"

namespace {

// One request per datagram, all of one size: a reader never sees parts of
// two, and a datagram of another size is no request of ours.
struct StopRecord {
  char key[512];
};

// Recorded before the first fork, so every worker inherits it; 0 in a
// server that serves alone.
pid_t server_pid = 0;

enum SendResult { SENT, NO_WORKER, DROPPED };

// The process id in a function key, whose module name may itself hold "_":
// the last two fields are the process and the thread.
pid_t key_process(const char* key) {
  if (key == nullptr) return 0;
  const char* thread = strrchr(key, '_');
  if (thread == nullptr || thread == key) return 0;
  const char* process = thread - 1;
  while (process > key && *process != '_') process--;
  if (*process != '_') return 0;
  char* end = nullptr;
  unsigned long pid = strtoul(process + 1, &end, 10);
  return end == thread ? static_cast<pid_t>(pid) : 0;
}

// A worker's address, "\0velmor-stop.<server>.<worker>": in the abstract
// namespace, so nothing is left on disk and the name goes with the worker's
// socket. The server's pid keeps the workers of two servers on one host
// apart. Such names are per network namespace and, like the server's TCP
// port, visible to every local user, who may send to them; as with a
// stop_thread on the port, a stop only stops a call whose key the sender
// knows.
socklen_t stop_address(pid_t worker, sockaddr_un* addr) {
  memset(addr, 0, sizeof(*addr));
  addr->sun_family = AF_UNIX;
  size_t room = sizeof(addr->sun_path) - 1;  // after the leading NUL
  int n = snprintf(addr->sun_path + 1, room, "velmor-stop.%d.%d", static_cast<int>(server_pid),
                   static_cast<int>(worker));
  size_t length = n < 0 ? 0 : static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
  // Abstract names are compared by length: no terminating NUL.
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

// False when the key does not fit, which no call's key does.
bool make_record(const char* key, StopRecord* record) {
  memset(record, 0, sizeof(*record));
  if (key == nullptr) return false;
  size_t length = strlen(key);
  if (length >= sizeof(record->key)) return false;
  memcpy(record->key, key, length);
  return true;
}

// Never waits: a worker whose listener is stuck must not hold up the
// conversation or the per-user server that passes a request on.
SendResult send_stop(pid_t worker, const StopRecord& record) {
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    fprintf(stderr, "Unable to pass the stop request for %s on to worker %d (%s)\n", record.key,
            static_cast<int>(worker), strerror(errno));
    return DROPPED;
  }
  sockaddr_un addr;
  socklen_t length = stop_address(worker, &addr);
  ssize_t n;
  do {
    n = sendto(sock, &record, sizeof(record), MSG_DONTWAIT | MSG_NOSIGNAL,
               reinterpret_cast<sockaddr*>(&addr), length);
  } while (n < 0 && errno == EINTR);
  int err = errno;
  close(sock);
  if (n == static_cast<ssize_t>(sizeof(record))) return SENT;
  if (n < 0 && (err == ECONNREFUSED || err == ENOENT)) return NO_WORKER;
  fprintf(stderr, "Unable to pass the stop request for %s on to worker %d (%s)\n", record.key,
          static_cast<int>(worker), n < 0 ? strerror(err) : "cut short");
  return DROPPED;
}

void* listen_for_stops(void* arg) {
  int sock = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  StopRecord record;
  for (;;) {
    // MSG_TRUNC: the datagram's own length, so a longer one is not taken
    // for a record.
    ssize_t n = recv(sock, &record, sizeof(record), MSG_TRUNC);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fprintf(stderr, "Stop request listener of worker %d ends (%s)\n", static_cast<int>(getpid()),
              strerror(errno));
      return nullptr;
    }
    if (n != static_cast<ssize_t>(sizeof(record))) continue;
    record.key[sizeof(record.key) - 1] = '\0';
    FS.thread_status_manager.terminate_thread(record.key);
  }
}

}  // namespace

void note_server_process() { server_pid = getpid(); }

void start_stop_listener() {
  if (server_pid <= 0 || server_pid == getpid()) return;
  int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr;
  socklen_t length = stop_address(getpid(), &addr);
  if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&addr), length) < 0) {
    fprintf(stderr, "Unable to open the stop request socket of worker %d (%s): a stop request "
                    "reaches its calls only when it comes to this worker\n",
            static_cast<int>(getpid()), strerror(errno));
    if (sock >= 0) close(sock);
    return;
  }
  pthread_t thread;
  void* arg = reinterpret_cast<void*>(static_cast<intptr_t>(sock));
  if (pthread_create(&thread, nullptr, listen_for_stops, arg) != 0) {
    fprintf(stderr, "Unable to start the stop request listener of worker %d\n",
            static_cast<int>(getpid()));
    close(sock);
    return;
  }
  pthread_detach(thread);
}

int forward_stop(const char* key) {
  pid_t pid = key_process(key);
  if (server_pid <= 0 || pid <= 0 || pid == getpid()) return 0;
  StopRecord record;
  if (!make_record(key, &record)) return 0;  // no call has such a key
  return send_stop(pid, record) == NO_WORKER ? 0 : 1;
}

void pass_stop_to_slot(int slot, const char* key) {
  StopRecord record;
  if (server_pid <= 0 || !make_record(key, &record)) return;
  pid_t named = key_process(key);
  if (named > 0 && send_stop(named, record) != NO_WORKER) return;
  if (slot < 0 || slot >= ProcessManager::max_kids) return;
  pid_t current = load(&ProcessManager::children[slot].pid);
  if (current > 0 && current != named) send_stop(current, record);
}
