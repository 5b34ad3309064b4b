#include "pvm_buffers.h"

#include <pvm3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

#define NO_THREAD ((pthread_t)-1)

extern "C" {

pvm_pthread_context send_buffers = {PTHREAD_MUTEX_INITIALIZER, NULL, NULL, 0,
                                    NO_THREAD, NULL, 0};
pvm_pthread_context recv_buffers = {PTHREAD_MUTEX_INITIALIZER, NULL, NULL, 0,
                                    NO_THREAD, NULL, 0};

pvmrxlist_lock_context_t pvmrxlist_lock_context = {PTHREAD_MUTEX_INITIALIZER,
                                                   NO_THREAD, 0};

// The cache pair (thread, entry) is read without the table lock, so it is
// guarded by a sequence counter: writers (under the lock) make it odd while
// they change the pair; a reader that sees it odd or changed takes the lock.
static void cache_store(pvm_pthread_context* ctx, pthread_t tid,
                        pvm_pthread_node* node) {
  __atomic_add_fetch(&ctx->cache_sequence, 1, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_RELEASE);
  __atomic_store_n(&ctx->last_accessed_thread, tid, __ATOMIC_RELAXED);
  __atomic_store_n(&ctx->last_access_node, node, __ATOMIC_RELAXED);
  __atomic_add_fetch(&ctx->cache_sequence, 1, __ATOMIC_RELEASE);
}

static pvm_pthread_node* cache_lookup(pvm_pthread_context* ctx, pthread_t self) {
  unsigned long before = __atomic_load_n(&ctx->cache_sequence, __ATOMIC_ACQUIRE);
  if (before & 1) return NULL;
  pthread_t tid = __atomic_load_n(&ctx->last_accessed_thread, __ATOMIC_RELAXED);
  pvm_pthread_node* node = __atomic_load_n(&ctx->last_access_node, __ATOMIC_RELAXED);
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  unsigned long after = __atomic_load_n(&ctx->cache_sequence, __ATOMIC_RELAXED);
  if (before != after || node == NULL || !pthread_equal(tid, self)) return NULL;
  return node;
}

// Called with ctx->lock held.
static int grow_free_list(pvm_pthread_context* ctx) {
  pvm_pthread_node* block =
      (pvm_pthread_node*)calloc(PVM_PTHREAD_BLOCK, sizeof(pvm_pthread_node));
  if (block == NULL) return 0;
  for (int i = 0; i < PVM_PTHREAD_BLOCK - 1; i++) block[i].next = &block[i + 1];
  block[PVM_PTHREAD_BLOCK - 1].next = ctx->free_list;
  ctx->free_list = block;
  ctx->free_node_count += PVM_PTHREAD_BLOCK;
  return 1;
}

pvm_pthread_node* get_pvm_pthread_node(pvm_pthread_context* ctx) {
  pthread_t self = pthread_self();
  pvm_pthread_node* node = cache_lookup(ctx, self);
  if (node != NULL) return node;

  pthread_mutex_lock(&ctx->lock);
  for (node = ctx->buffer_list; node != NULL; node = node->next) {
    if (pthread_equal(node->tid, self)) {
      cache_store(ctx, self, node);
      pthread_mutex_unlock(&ctx->lock);
      return node;
    }
  }
  if (ctx->free_list == NULL && !grow_free_list(ctx)) {
    pthread_mutex_unlock(&ctx->lock);
    fprintf(stderr, "lpvm_pthread: memory allocation error in get_pvm_pthread_node()\n");
    return NULL;
  }
  node = ctx->free_list;
  ctx->free_list = node->next;
  ctx->free_node_count--;
  node->next = ctx->buffer_list;
  ctx->buffer_list = node;
  node->tid = self;
  node->msg_buffer = 0;
  cache_store(ctx, self, node);
  pthread_mutex_unlock(&ctx->lock);
  return node;
}

void delete_pvm_pthread_node(pvm_pthread_context* ctx) {
  pthread_t self = pthread_self();
  pthread_mutex_lock(&ctx->lock);
  pvm_pthread_node** link = &ctx->buffer_list;
  while (*link != NULL && !pthread_equal((*link)->tid, self)) link = &(*link)->next;
  pvm_pthread_node* node = *link;
  if (node != NULL) {
    *link = node->next;
    node->msg_buffer = 0;
    node->next = ctx->free_list;
    ctx->free_list = node;
    ctx->free_node_count++;
    // Thread ids are reused; a stale cache would hand this entry to a stranger.
    if (ctx->last_access_node == node) cache_store(ctx, NO_THREAD, NULL);
  }
  pthread_mutex_unlock(&ctx->lock);
}

static int get_buffer(pvm_pthread_context* ctx) {
  pvm_pthread_node* node = get_pvm_pthread_node(ctx);
  return node == NULL ? 0 : node->msg_buffer;
}

static int set_buffer(pvm_pthread_context* ctx, int mid) {
  pvm_pthread_node* node = get_pvm_pthread_node(ctx);
  if (node == NULL) return 0;
  node->msg_buffer = mid;
  return mid;
}

int get_pvmsbuf(void) { return get_buffer(&send_buffers); }
int get_pvmrbuf(void) { return get_buffer(&recv_buffers); }
int set_pvmsbuf(int mid) { return set_buffer(&send_buffers, mid); }
int set_pvmrbuf(int mid) { return set_buffer(&recv_buffers, mid); }

void pvm_pthread_exit(void) {
  pvmrxlist_lock();
  int sbuf = get_pvmsbuf();
  int rbuf = get_pvmrbuf();
  if (sbuf > 0) pvm_freebuf(sbuf);
  if (rbuf > 0 && rbuf != sbuf) pvm_freebuf(rbuf);
  delete_pvm_pthread_node(&send_buffers);
  delete_pvm_pthread_node(&recv_buffers);
  pvmrxlist_unlock();
}

int pvmrxlist_lock(void) {
  pvmrxlist_lock_context_t* c = &pvmrxlist_lock_context;
  pthread_t self = pthread_self();
  // Only the holder itself can have stored its own id, so this unlocked read
  // decides correctly whether the calling thread holds the lock.
  if (!pthread_equal(__atomic_load_n(&c->thread_id, __ATOMIC_ACQUIRE), self)) {
    pthread_mutex_lock(&c->lock);
    __atomic_store_n(&c->thread_id, self, __ATOMIC_RELEASE);
    c->count = 1;
  } else if (c->count > 0) {
    c->count++;
  }
  return c->count;
}

int pvmrxlist_unlock(void) {
  pvmrxlist_lock_context_t* c = &pvmrxlist_lock_context;
  pthread_t self = pthread_self();
  if (!pthread_equal(__atomic_load_n(&c->thread_id, __ATOMIC_ACQUIRE), self)) {
    fprintf(stderr, "bad unlock request from %lu\n", (unsigned long)self);
    // The holder's count may change under us; read it once, untorn.
    return __atomic_load_n(&c->count, __ATOMIC_RELAXED);
  }
  int left = --c->count;
  if (left == 0) {
    __atomic_store_n(&c->thread_id, NO_THREAD, __ATOMIC_RELEASE);
    pthread_mutex_unlock(&c->lock);
  }
  return left;
}

}  // extern "C"

PvmBufferScope::PvmBufferScope() {
  outer_ = pvmrxlist_lock() == 1;
  if (outer_) {
    pvm_setsbuf(get_pvmsbuf());
    pvm_setrbuf(get_pvmrbuf());
  }
}

PvmBufferScope::~PvmBufferScope() {
  if (outer_) {
    // Whatever the library made active during the scope is this thread's.
    set_pvmsbuf(pvm_setsbuf(0));
    set_pvmrbuf(pvm_setrbuf(0));
  }
  pvmrxlist_unlock();
}

int pvm_thread_mytid(void) {
  PvmBufferScope scope;
  return pvm_mytid();
}

int pvm_thread_send_text(int tid, int tag, const char* text) {
  PvmBufferScope scope;
  int rc = pvm_initsend(PvmDataDefault);
  if (rc < 0) return rc;
  rc = pvm_pkstr((char*)text);
  if (rc < 0) return rc;
  rc = pvm_send(tid, tag);
  return rc < 0 ? rc : 1;
}

// A few dead partners at a time at most; the oldest is overwritten.
enum { LOST_TASKS = 64 };
static int lost_tasks[LOST_TASKS];
static int lost_next;
static pthread_mutex_t lost_lock = PTHREAD_MUTEX_INITIALIZER;

static void note_lost_task(int tid) {
  pthread_mutex_lock(&lost_lock);
  int known = 0;
  for (int i = 0; i < LOST_TASKS; i++) known |= lost_tasks[i] == tid;
  if (!known) {
    lost_tasks[lost_next] = tid;
    lost_next = (lost_next + 1) % LOST_TASKS;
  }
  pthread_mutex_unlock(&lost_lock);
}

int pvm_task_lost(int tid) {
  if (tid <= 0) return 0;
  pthread_mutex_lock(&lost_lock);
  int known = 0;
  for (int i = 0; i < LOST_TASKS; i++) known |= lost_tasks[i] == tid;
  pthread_mutex_unlock(&lost_lock);
  return known;
}

void pvm_note_lost_task(int tid) {
  if (tid > 0) note_lost_task(tid);
}

void pvm_forget_lost_task(int tid) {
  pthread_mutex_lock(&lost_lock);
  for (int i = 0; i < LOST_TASKS; i++)
    if (lost_tasks[i] == tid) lost_tasks[i] = 0;
  pthread_mutex_unlock(&lost_lock);
}

static void pause_ms(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, NULL);
}

static long now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// How often a waiting receive asks the daemon whether its partner still lives.
static const long kLivenessPeriodMs = 1000;

int pvm_thread_recv(int tid, int tag, int timeout_ms, void (*unpack)(void*),
                    void* arg) {
  long start = now_ms();
  long last_check = start;
  long nap = 1;
  if (pvm_task_lost(tid)) return PvmNoTask;
  for (;;) {
    {
      PvmBufferScope scope;
      int bufid = pvm_nrecv(tid, tag);
      if (bufid > 0) {
        if (unpack != NULL) unpack(arg);
        return bufid;
      }
      if (bufid < 0) return bufid;
      long now = now_ms();
      if (tid > 0 && now - last_check >= kLivenessPeriodMs) {
        last_check = now;
        int status = pvm_pstat(tid);
        if (status != PvmOk) {
          // A message may have arrived just before the task ended.
          bufid = pvm_nrecv(tid, tag);
          if (bufid > 0) {
            if (unpack != NULL) unpack(arg);
            return bufid;
          }
          note_lost_task(tid);
          return PvmNoTask;
        }
      }
    }
    if (timeout_ms >= 0 && now_ms() - start >= timeout_ms) return 0;
    pause_ms(nap);
    if (nap < 20) nap *= 2;
  }
}

namespace {
struct TextTarget {
  char* text;
  size_t size;
  int rc;
};
}  // namespace

// pvm_upkstr has no length limit, so the string goes through a scratch buffer
// as large as the whole message before it is copied into the caller's.
static void unpack_text(void* arg) {
  TextTarget* t = (TextTarget*)arg;
  int bytes = 0, msgtag = 0, from = 0;
  if (pvm_bufinfo(pvm_getrbuf(), &bytes, &msgtag, &from) < 0 || bytes < 0) {
    t->rc = PvmBadMsg;
    return;
  }
  std::string scratch((size_t)bytes + 1, '\0');
  t->rc = pvm_upkstr(&scratch[0]);
  if (t->rc < 0) return;
  snprintf(t->text, t->size, "%s", scratch.c_str());
}

int pvm_thread_recv_text(int tid, int tag, int timeout_ms, char* text,
                         size_t size) {
  if (size == 0) return PvmBadParam;
  text[0] = '\0';
  TextTarget target = {text, size, 0};
  int rc = pvm_thread_recv(tid, tag, timeout_ms, unpack_text, &target);
  if (rc > 0 && target.rc < 0) {
    text[0] = '\0';
    return target.rc;
  }
  return rc;
}
