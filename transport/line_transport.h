// Line transport: every exchange on a stream socket is a sequence of lines,
// each a byte string ended by one NUL byte (the NUL travels; it is the only
// delimiter). Used by the server, the PVM worker and the call channel.
//
// A line is a line only when its NUL arrived: text cut off by the peer's
// close or a failed read is never handed on as one.
//
// The per-user relay and its worker talk over a local stream pair (the link)
// that carries, besides the client's and the worker's lines, one signal of its
// own: the end of a conversation. On the link a data line that begins with
// the escape byte 0x1b gets a second one in front; the escape byte followed by
// anything else is the signal. So no data line can imitate it, and the client
// sees exactly the bytes the worker sent.
#ifndef VELMOR_TRANSPORT_LINE_TRANSPORT_H_
#define VELMOR_TRANSPORT_LINE_TRANSPORT_H_

// Results of receive_line below 1: no line arrived.
enum {
  LINE_ENDED = 0,               // the peer closed before the line's NUL
  LINE_FAILED = -1,             // the read failed (reset, bad descriptor, time limit)
  LINE_CONVERSATION_OVER = -2,  // link only: the other side ended the conversation
  LINE_TIMED_OUT = -3           // receive_line_idle_limited only: no line began in time
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

// receive_line for a reader with an idle limit, on a blocking socket whose
// receive time-out (SO_RCVTIMEO) the caller set to that limit: returns
// LINE_TIMED_OUT when it ran out before any byte of a line arrived. Once a
// line has begun, the rest of it is awaited without limit. Costs no system
// call beyond receive_line's, where a wait before each line would.
int receive_line_idle_limited(int sock, char* buffer, int size);

// In a per-user worker: sock is this process's link to the relay, and
// send_line / receive_line on it frame and unframe as described above
// (receive_line returns LINE_CONVERSATION_OVER for the relay's signal).
// Set once, before any other thread uses the link; -1 for none.
void set_relay_link(int sock);

// The relay's side of a link (the server process has one per slot).
int send_link_line(int link, const char* text);
int receive_link_line(int link, char* buffer, int size);
// Sends the end-of-conversation signal; strlen + 1 of the frame, or 0.
int send_link_end(int link);

// The worker's end of a conversation: on the relay link the signal, on any
// other socket the line "__DONE__"; then the peer's one-line acknowledgement
// (the relay sends it once it has closed the client's connection). Returns 1
// when acknowledged, 0 when the socket failed.
int end_relay_conversation(int sock);

#endif
