// Passing an open descriptor to another process over a Unix socket
// (SCM_RIGHTS), one descriptor per message, and the one-byte notes that go
// back. The per-user server hands each client's socket to its slot's worker
// this way, so that the worker serves the client directly.
#ifndef VELMOR_SERVER_DESCRIPTOR_PASSING_H_
#define VELMOR_SERVER_DESCRIPTOR_PASSING_H_

// Sends fd over link (a connected Unix socket) without waiting; the caller
// keeps its own copy. Returns 1 when sent, 0 when the link failed.
int pass_descriptor(int link, int fd);

// Receives one passed descriptor into *fd, blocking. Returns 1 with *fd
// set; 0 when the link ended; -1 (with a message) when a message came
// without exactly one whole descriptor: its control data cut short
// (MSG_CTRUNC, for instance with no descriptor left in this process) or
// missing. Any descriptor of such a message is closed.
int receive_descriptor(int link, int* fd);

// One byte of news on link; 1 when sent, 0 when the link failed.
int send_note(int link, char note);

#endif
