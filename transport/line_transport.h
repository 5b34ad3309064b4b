// Line transport: every exchange on a stream socket is a sequence of lines,
// each a byte string ended by one NUL byte (the NUL travels; it is the only
// delimiter). Used by the server, the PVM worker and the call channel.
//
// A line is a line only when its NUL arrived: text cut off by the peer's
// close or a failed read is never handed on as one.
#ifndef VELMOR_TRANSPORT_LINE_TRANSPORT_H_
#define VELMOR_TRANSPORT_LINE_TRANSPORT_H_

// Results of receive_line below 1: no line arrived.
enum {
  LINE_ENDED = 0,   // the peer closed before the line's NUL
  LINE_FAILED = -1  // the read failed (reset, bad descriptor, time limit)
};

// Sends text and its NUL, blocking until all of it is written (a socket
// send time-out set by the socket's owner bounds the wait). Returns
// strlen(text) + 1 when everything was sent, 0 on failure. A closed peer
// gives 0, never a broken-pipe signal. Thread-safe; one writer per socket.
int send_line(int sock, const char* text);

// Reads one line into buffer (size bytes, size >= 1), always NUL-terminated,
// blocking until the line's NUL arrives or the stream ends. Characters beyond
// size - 1 are read and dropped up to the line's NUL; no byte after the NUL is
// taken from the socket (the next reader of the socket gets it). Returns the
// number of characters kept + 1 (>= 1) when a whole line arrived, otherwise
// one of the LINE_* results; the buffer then holds whatever characters came,
// for messages only.
int receive_line(int sock, char* buffer, int size);

#endif
