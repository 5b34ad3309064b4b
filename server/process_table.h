// What the process manager's files share: the pool model (pool_model.cpp),
// the per-user model (per_user_model.cpp) and what both use
// (process_manager.cpp). Not for other callers.
#ifndef VELMOR_SERVER_PROCESS_TABLE_H_
#define VELMOR_SERVER_PROCESS_TABLE_H_

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "process_manager.h"

// The shared table is written by the server and by each worker with plain
// stores; atomic accesses keep the compiler from caching them.
inline int load(const int* field) { return __atomic_load_n(field, __ATOMIC_SEQ_CST); }
inline void store(int* field, int value) { __atomic_store_n(field, value, __ATOMIC_SEQ_CST); }

// addr as dotted text in out (size bytes); returns out.
const char* dotted(in_addr addr, char* out, socklen_t size);

// 1 when the worker of the slot has ended (or was never started). A worker
// reported stopped is killed: a new one takes its slot, and a stopped copy
// resumed later would serve unseen. Server process only.
int worker_has_ended(Child* child);

// Both models: a connection that sends no whole request line for this long
// is closed.
const int kFirstLineSeconds = 120;

// Ends the server after SIGHUP; the workers were signalled by the handler.
void finish_if_hung_up();

// Pool model: the workers' shared turn at accept, made before the first fork.
void create_accept_turn();

// Per-user model, from SIGCHLD: a worker ended or was stopped.
// Async-signal-safe.
void note_worker_change();

// Server: notes a worker that a reload replaced, until it ends; false when
// the table of such workers is full. They are signalled and awaited with the
// others when the server stops.
bool retire_worker(pid_t pid);
// Server: collects replaced workers that have ended; the number still running.
int reap_retiring();
// Server: free entries for replaced workers.
int retiring_room();

// Pool worker: readable once a reload replaced this worker (-1 in others).
int worker_drain_fd();
bool worker_is_retired();

#endif
