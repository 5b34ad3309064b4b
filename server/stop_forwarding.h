// Stop requests passed to the worker process that runs the call, through
// that process's own datagram socket. A call can only be stopped by the
// process that runs it, which its key names ("module_call_pid_thread").
// Pool: every conversation may reach any worker, so a stop request that
// reaches another worker is passed on. Per-user: the server answers a
// stop_thread that comes ahead of its slot's turn itself, and passes the key
// on. Addressing the process rather than the slot also reaches a worker that
// no longer holds a slot but still runs calls.
#ifndef VELMOR_SERVER_STOP_FORWARDING_H_
#define VELMOR_SERVER_STOP_FORWARDING_H_

// Server, once, before its first fork: records its pid, which names the
// sockets of its workers. Without it (one process, no workers) stop requests
// are only ever stopped where they arrive.
void note_server_process();

// Worker, when it starts serving: binds its socket and starts the detached
// thread that stops the calls whose stop requests are passed on to it. On
// failure it writes a message; the worker then serves on, and its calls can
// only be stopped by requests that reach it directly.
void start_stop_listener();

// Passes a stop request on to the worker process its key names. Returns 1
// when it went to that worker (or was dropped there, socket full, with a
// message), 0 when the key names this process, no process, or no running
// worker (the caller stops it here, where an unknown key is ignored).
// Never blocks. Thread-safe.
int forward_stop(const char* key);

// Per-user server: passes a stop request to the worker its key names, or,
// when the key names none that runs, to the current worker of `slot`. Never
// blocks; a full socket drops it with a message.
void pass_stop_to_slot(int slot, const char* key);

#endif
