#include "stop_forwarding.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "execution_model.h"
#include "process_manager.h"
#include "tarrow.h"

namespace {

// One request per write: a record below PIPE_BUF travels whole, so readers
// never see parts of two requests.
struct StopRecord {
  char key[512];
};

int (*stop_pipes)[2] = nullptr;
int stop_slots = 0;

// The process id in a function key, whose module name may itself hold "_":
// the last two fields are the process and the thread.
pid_t key_process(const char* key) {
  const char* thread = strrchr(key, '_');
  if (thread == nullptr || thread == key) return 0;
  const char* process = thread - 1;
  while (process > key && *process != '_') process--;
  if (*process != '_') return 0;
  char* end = nullptr;
  unsigned long pid = strtoul(process + 1, &end, 10);
  return end == thread ? static_cast<pid_t>(pid) : 0;
}

void* listen_for_stops(void* arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  StopRecord record;
  for (;;) {
    ssize_t n = read(fd, &record, sizeof(record));
    if (n < 0 && errno == EINTR) continue;
    if (n != static_cast<ssize_t>(sizeof(record))) return nullptr;
    record.key[sizeof(record.key) - 1] = '\0';
    FS.thread_status_manager.terminate_thread(record.key);
  }
}

}  // namespace

int setup_stop_pipes(int slots) {
  stop_pipes = new int[slots][2];
  for (int i = 0; i < slots; i++) {
    if (pipe(stop_pipes[i]) < 0) {
      fprintf(stderr, "Unable to make the stop request pipes (%s): a stop request reaches only "
                      "calls of the worker that receives it\n", strerror(errno));
      for (int j = 0; j < i; j++) {
        close(stop_pipes[j][0]);
        close(stop_pipes[j][1]);
      }
      delete[] stop_pipes;
      stop_pipes = nullptr;
      return 0;
    }
    // A worker whose listener is stuck must not hold up the conversation
    // that passes a request on: a full pipe drops it with a message.
    fcntl(stop_pipes[i][1], F_SETFL, O_NONBLOCK);
  }
  stop_slots = slots;
  return 1;
}

void start_stop_listener(int slot) {
  if (stop_pipes == nullptr || slot < 0 || slot >= stop_slots) return;
  pthread_t thread;
  void* fd = reinterpret_cast<void*>(static_cast<intptr_t>(stop_pipes[slot][0]));
  if (pthread_create(&thread, nullptr, listen_for_stops, fd) != 0) {
    fprintf(stderr, "Unable to start the stop request listener of worker %d\n", slot);
    return;
  }
  pthread_detach(thread);
}

int stop_pipe_of(int slot) {
  if (stop_pipes == nullptr || slot < 0 || slot >= stop_slots) return -1;
  return stop_pipes[slot][0];
}

// One record to the slot's pipe; false when it did not fit.
static bool write_stop(int slot, const char* key) {
  StopRecord record;
  memset(&record, 0, sizeof(record));
  size_t length = strlen(key);
  if (length >= sizeof(record.key)) return false;  // no call has such a key
  memcpy(record.key, key, length);
  if (write(stop_pipes[slot][1], &record, sizeof(record)) == static_cast<ssize_t>(sizeof(record)))
    return true;
  fprintf(stderr, "Unable to pass the stop request for %s on to worker %d\n", key, slot);
  return false;
}

void pass_stop_to_slot(int slot, const char* key) {
  if (stop_pipes == nullptr || slot < 0 || slot >= stop_slots) return;
  write_stop(slot, key);
}

int forward_stop(const char* key) {
  // Per-user calls of an address run in its own worker, which is where its
  // requests are served.
  if (stop_pipes == nullptr || execution_model != PROCESS_POOL) return 0;
  pid_t pid = key_process(key);
  if (pid <= 0 || pid == getpid()) return 0;
  if (strlen(key) >= sizeof(StopRecord::key)) return 0;  // no call has such a key
  for (int i = 0; i < stop_slots; i++) {
    if (__atomic_load_n(&ProcessManager::children[i].pid, __ATOMIC_SEQ_CST) != pid) continue;
    write_stop(i, key);
    return 1;
  }
  return 0;
}
