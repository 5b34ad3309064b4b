// Copies into the server's fixed path buffers. A text that does not fit is a
// configuration the server cannot run with: the copy reports it on stderr and
// ends the program with status 1 instead of overrunning the buffer.
#ifndef VELMOR_SERVER_BOUNDED_COPY_H_
#define VELMOR_SERVER_BOUNDED_COPY_H_

// Size of every composed directory path of the server, NUL included.
enum { VELMOR_PATH_SIZE = 512 };

// strcpy(dst, src) into a buffer of `available` bytes; on overflow prints
// "Not enough space (available %d) to strcpy %s" and exits.
void bounded_strcpy(char* dst, const char* src, int available);

// strcat(dst, src) into a buffer of `available` bytes; on overflow prints
// "Not enough space (available %d, used %d) to strcat %s" and exits.
void bounded_strcat(char* dst, const char* src, int available);

#endif
