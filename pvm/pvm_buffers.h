// Per-thread PVM message buffers.
//
// The PVM 3 library keeps one active send buffer, one active receive buffer
// and one list of arrived messages per process. The server and the worker
// call PVM from many threads at once, so this layer gives every thread its
// own pair of active buffers and serialises every use of the library.
//
// The stock library cannot be told where to keep its active buffers, so the
// isolation is obtained from outside it:
//   - every PVM action of a thread (pack-and-send, receive-and-unpack, spawn,
//     kill, first contact with the daemon) runs under one process-wide
//     recursive lock, pvmrxlist_lock();
//   - while a thread holds that lock its own buffers are the library's active
//     ones (pvm_setsbuf/pvm_setrbuf), and they are saved back into the
//     thread's entries and deactivated before the lock is released;
//   - no thread waits inside PVM while holding the lock: receives poll with
//     pvm_nrecv and release the lock between tries.
//
// The tables remember a buffer by the library's message buffer id (an int;
// 0 means none), which is how the stock library names buffers.
//
// This library is shared: the server, the worker and every stub library see
// one copy of the tables and of the lock.
#ifndef VELMOR_PVM_PVM_BUFFERS_H_
#define VELMOR_PVM_PVM_BUFFERS_H_

#include <pthread.h>
#include <stddef.h>

extern "C" {

// One thread's entry in a table.
struct pvm_pthread_node {
  pvm_pthread_node* next;
  pthread_t tid;       // owning thread
  int msg_buffer;      // the thread's active buffer id, 0 when none
};

// One table of entries (send or receive buffers).
struct pvm_pthread_context {
  pthread_mutex_t lock;                // guards the lists and the cache writes
  pvm_pthread_node* buffer_list;       // entries in use, newest first
  pvm_pthread_node* free_list;         // spare entries
  int free_node_count;
  pthread_t last_accessed_thread;      // cache: (thread, entry), (pthread_t)-1 = none
  pvm_pthread_node* last_access_node;
  unsigned long cache_sequence;        // odd while the cache pair is being written
};

// Entries are allocated this many at a time and never returned to the system.
enum { PVM_PTHREAD_BLOCK = 512 };

extern pvm_pthread_context send_buffers;
extern pvm_pthread_context recv_buffers;

// The recursive lock of the arrived-message list; here it also serialises
// every PVM action of the process.
struct pvmrxlist_lock_context_t {
  pthread_mutex_t lock;
  pthread_t thread_id;  // holder, (pthread_t)-1 = none
  int count;            // how often the holder has taken it
};
extern pvmrxlist_lock_context_t pvmrxlist_lock_context;

// The calling thread's entry, created on first use; NULL when memory is out.
pvm_pthread_node* get_pvm_pthread_node(pvm_pthread_context* ctx);
// Moves the calling thread's entry, if any, back to the free list.
void delete_pvm_pthread_node(pvm_pthread_context* ctx);

// The calling thread's active send / receive buffer id, 0 when none.
int get_pvmsbuf(void);
int get_pvmrbuf(void);
// Record `mid` as the calling thread's active send / receive buffer.
// Returns `mid`, or 0 when no entry could be made.
int set_pvmsbuf(int mid);
int set_pvmrbuf(int mid);

// Frees the calling thread's buffers through the library and deletes its
// entries. Every thread that used PVM calls it as its last PVM action.
void pvm_pthread_exit(void);

// Takes the lock; a thread that holds it already only counts up.
// Returns the new count.
int pvmrxlist_lock(void);
// Gives one level back; the last level releases the mutex. An unlock by a
// thread that does not hold the lock is reported and ignored. Returns the
// holder's remaining count.
int pvmrxlist_unlock(void);

}  // extern "C"

// Scoped use of PVM by one thread: takes pvmrxlist_lock and makes the
// thread's own buffers the library's active ones; the destructor saves the
// (possibly new) active buffers back into the thread's entries, leaves the
// library with no active buffer and releases the lock. Nest freely. Never
// call a blocking PVM receive inside one; use pvm_thread_recv below.
class PvmBufferScope {
 public:
  PvmBufferScope();
  ~PvmBufferScope();
  PvmBufferScope(const PvmBufferScope&) = delete;
  PvmBufferScope& operator=(const PvmBufferScope&) = delete;

 private:
  int outer_;  // 1 when this scope activated the buffers
};

// The task id of this process, enrolling it in PVM on first use (under the
// lock). Negative PVM error when there is no daemon.
int pvm_thread_mytid(void);

// One text in a message of its own: pvm_initsend(PvmDataDefault),
// pvm_pkstr(text), pvm_send(tid, tag), all with the thread's own send buffer.
// Returns 1, or the negative PVM error code.
int pvm_thread_send_text(int tid, int tag, const char* text);

// Waits for a message from `tid` with `tag` (-1 = any, as in PVM) without
// holding the lock while nothing has arrived. On arrival it becomes the
// thread's active receive buffer and `unpack(arg)` runs under the lock so the
// caller can pvm_upk* from it; unpack may be NULL.
// `timeout_ms` < 0 waits without a time limit. While waiting, a specific
// `tid` (> 0) is checked now and then with pvm_pstat, so a dead partner ends
// the wait.
// Returns the buffer id (> 0) on success, 0 on time-out, or a negative PVM
// error (PvmNoTask when the partner died).
int pvm_thread_recv(int tid, int tag, int timeout_ms,
                    void (*unpack)(void* arg), void* arg);

// Tasks that a receive found dead (PvmNoTask). A receive from such a task
// fails at once from then on, and the task table replaces the worker task
// of its slot on the next lookup.
int pvm_task_lost(int tid);
void pvm_forget_lost_task(int tid);
// Records `tid` as dead (as a receive that found it dead does).
void pvm_note_lost_task(int tid);

// pvm_thread_recv of one string into `text` (at most size-1 characters,
// always terminated). Returns as pvm_thread_recv; on failure `text` is left
// empty.
int pvm_thread_recv_text(int tid, int tag, int timeout_ms, char* text,
                         size_t size);

#endif
