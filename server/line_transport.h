// Line transport: every exchange on a stream socket is a sequence of lines,
// each a byte string ended by one NUL byte (the NUL travels; it is the only
// delimiter). Used by the server, the PVM worker and the call channel.
#ifndef VELMOR_SERVER_LINE_TRANSPORT_H_
#define VELMOR_SERVER_LINE_TRANSPORT_H_

// Sends text and its NUL. Returns strlen(text) + 1 when everything was sent,
// 0 on failure. A closed peer gives 0, never a broken-pipe signal.
int send_line(int sock, const char* text);

// Reads one line into buffer (size bytes, size >= 1), always NUL-terminated.
// Characters beyond size - 1 are read and dropped up to the line's NUL; no
// byte after the NUL is taken from the socket. Returns:
//   bytes of the line including its NUL (>= 1) when a whole line arrived;
//   0 when the peer closed or the read failed before any character;
//   the number of characters read when the stream ended mid-line;
//   -1 when waiting for data failed.
int receive_line(int sock, char* buffer, int size);

#endif
