// Reloading the registry in a running server: SIGUSR2, `systemctl reload`,
// or the watched files.
//
// A reload rereads the list of definition files (definition_list.h) and
// rebuilds, in a child process, the stubs of every file that changed, as at
// start-up; the child also loads each module's libraries to see that they
// load. Meanwhile the workers go on serving. When the child is done, the
// server commits a new registry in one step: every file that passed is read
// anew, every file that failed keeps the module it had (the log says which
// file and why), and files no longer listed are dropped. The process models
// then replace their workers (pool_model.cpp, per_user_model.cpp): the old
// ones finish what runs on the code they started with.
//
// Server process only, from its single thread, except request_reload().
#ifndef VELMOR_SERVER_REGISTRY_RELOAD_H_
#define VELMOR_SERVER_REGISTRY_RELOAD_H_

// Before the first worker: copies the stubs of the start-up registry (see
// stub_copies.h) and makes the wake-up pipe. False when the copies cannot be
// made; the server then serves the wrapper directory's stubs, and reloads
// are refused.
bool reload_setup();

// Asks for a reload. Async-signal-safe (the SIGUSR2 handler).
void request_reload();

// Readable when a reload was asked for; the loops watch it, and call
// reload_step() when it is.
int reload_wake_fd();

// With VELMOR_WATCH=yes (environment or settings file): readable when a
// watched file changed; the loops watch it too. -1 without a watch.
int reload_watch_fd();

// Advances a reload: starts the preparing child when one was asked for,
// collects its results when it is done, and commits. True when a new
// registry was committed: the caller then replaces its workers. Cheap when
// nothing is going on; call it at every turn of the loop.
bool reload_step();

// How long the loop may wait before reload_step() has something to do: a
// short time while a child prepares, else -1 (the wake-up pipe suffices).
int reload_wait_ms();

// Counts of registries committed since start-up (0 at start-up).
unsigned registry_generation();

// Set by the models: true while the workers of an earlier reload cannot be
// replaced yet (too many still finish their calls); the reload waits.
void set_reload_blocked(bool blocked);

#endif
