// Stop requests between pool workers. Every pool conversation may reach any
// worker process, but a call can only be stopped by the process that runs it,
// which its key names ("module_call_pid_thread"). A stop request that reaches
// another worker is passed on to the right one through that worker's own
// pipe, made by the server before any worker is forked, so that restarted
// workers inherit it too.
#ifndef VELMOR_SERVER_STOP_FORWARDING_H_
#define VELMOR_SERVER_STOP_FORWARDING_H_

// Server, before the workers are forked: one pipe per pool slot. Returns 1,
// or 0 (with a message) when the pipes cannot be made; stop requests then
// reach only calls of the worker that receives them.
int setup_stop_pipes(int slots);

// Worker of `slot`: starts the thread that stops the calls whose stop
// requests other workers pass on. Does nothing without pipes.
void start_stop_listener(int slot);

// Passes a stop request on to the worker process its key names. Returns 1
// when it went to another worker, 0 when the key names this process, no
// running worker, or no pool worker at all (the caller stops it here, where
// an unknown key is ignored). Thread-safe.
int forward_stop(const char* key);

#endif
