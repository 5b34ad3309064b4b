// Private copies of the stub libraries that the server's registry serves.
//
// Workers load a module's stub library from a copy made when the registry
// that declares it was committed, never from the wrapper directory's
// MODULE.so: a reload rebuilds MODULE.so while workers of the registry in
// service may still be started (a crashed worker's replacement), and such a
// worker must load the stub that matches its declarations. A copy also has a
// path of its own, so a process loads it afresh instead of finding a library
// of the same name already loaded. Copies live in
// VELMOR_LOG_DIR/loaded.SERVERPID/ and go with the server. Server process
// only; not thread-safe.
#ifndef VELMOR_SERVER_STUB_COPIES_H_
#define VELMOR_SERVER_STUB_COPIES_H_

#include <stddef.h>

// Makes this server's directory of copies (and removes those of servers no
// longer running). False, with a message, when it cannot be made.
bool open_stub_copies();

// Copies the wrapper directory's stub library of module into the directory
// as MODULE.GENERATION.so and writes its path into out (size bytes). False,
// with the reason in why (why_size bytes), when it cannot be copied.
bool copy_stub(const char* module, unsigned generation, char* out, size_t size, char* why,
               size_t why_size);

// Removes every copy that is not one of keep (count paths): copies of older
// registries, which only workers that have them loaded already still use.
void prune_stub_copies(const char* const* keep, size_t count);

// Removes the directory and its copies; for the server's end.
void remove_stub_copies();

// Copies from to to (replacing it through a rename), keeping the
// modification time, so that up-to-date tests read the copy like the
// original. False with errno set on failure.
bool copy_file_keeping_time(const char* from, const char* to);

#endif
