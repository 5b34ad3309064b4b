// What an accept loop does after accept failed. Out of descriptors (EMFILE,
// ENFILE) or kernel memory, the pending connection stays queued and the next
// accept fails the same way at once: retrying at once spins a core and
// floods the log. Both execution models' accept loops call this.
#ifndef VELMOR_SERVER_ACCEPT_BACKOFF_H_
#define VELMOR_SERVER_ACCEPT_BACKOFF_H_

// How long an accept loop pauses after a failure that would repeat at once.
const int kAcceptPauseMs = 100;

// Call after accept failed with err (its errno), then accept again. Returns at
// once for a failure of that one connection (EINTR, ECONNABORTED, a client's
// reset); otherwise reports it (at most once a second for the whole process,
// with the number of failures since the last report) and pauses for
// kAcceptPauseMs, so that accepting goes on as soon as descriptors are free.
// Thread-safe.
void accept_failed(int err);

#endif
