// Lines on a socket for the client: text ended by one NUL byte. A line is
// read by peeking up to its NUL and then taking exactly that many bytes, so
// nothing behind the NUL leaves the socket: the next reader of the socket
// (another conversation step, a call-back handler) finds it there. Every wait
// is bounded. Both functions are reentrant; a socket is read by one thread at
// a time.
#ifndef VELMOR_TRANSPORT_LINE_IO_H_
#define VELMOR_TRANSPORT_LINE_IO_H_

// read_line's result when no byte of a line came within the time limit.
const int kLineTimedOut = -2;

// Once a line has begun, read_line waits at least this long for each further
// piece of it: a caller that polls with a short limit must never see the
// first half of a line consumed and its second half read as a line of its own.
const int kMidLineWaitMs = 5000;

// Reads one line into buffer (size bytes, always NUL-terminated; characters
// beyond size - 1 are read and dropped up to the NUL). Returns the stored
// characters + 1 for a whole line; 0 when the line did not arrive whole (the
// peer closed, the read failed, or the line stopped mid-way for longer than
// the mid-line wait): the buffer then holds what came, which is no line;
// kLineTimedOut when no byte came within timeout_ms.
int read_line(int fd, char* buffer, int size, int timeout_ms);

// Sends text and its NUL whole. False when the peer is gone or the socket
// stays full for timeout_ms.
bool write_line(int fd, const char* text, int timeout_ms);

#endif
