// Stop requests passed to the worker that runs the call, through that
// worker's own pipe, made by the server before any worker is forked, so that
// restarted workers inherit it too. Pool: every conversation may reach any
// worker process, but a call can only be stopped by the process that runs
// it, which its key names ("module_call_pid_thread"); a stop request that
// reaches another worker is passed on. Per-user: the server answers a
// stop_thread that comes ahead of its slot's turn itself, and passes the key
// to the slot's worker.
#ifndef VELMOR_SERVER_STOP_FORWARDING_H_
#define VELMOR_SERVER_STOP_FORWARDING_H_

// Server, before the workers are forked: one pipe per slot. Returns 1, or 0
// (with a message) when the pipes cannot be made; stop requests then reach
// only calls of the worker that receives them.
int setup_stop_pipes(int slots);

// Worker of `slot`: starts the thread that stops the calls whose stop
// requests are passed on to it. Does nothing without pipes.
void start_stop_listener(int slot);

// The read end of the slot's pipe, which its worker keeps; -1 for none.
int stop_pipe_of(int slot);

// Pool: passes a stop request on to the worker process its key names.
// Returns 1 when it went to another worker, 0 when the key names this
// process, no running worker, or no pool worker at all (the caller stops it
// here, where an unknown key is ignored). Thread-safe.
int forward_stop(const char* key);

// Per-user server: passes a stop request to the worker of `slot`. Never
// blocks; a full pipe drops it with a message.
void pass_stop_to_slot(int slot, const char* key);

#endif
