// Connection record handed to a connection thread, and the verdict of one request.
#ifndef VELMOR_SERVER_HCSTRUCT_H_
#define VELMOR_SERVER_HCSTRUCT_H_

#include <netinet/in.h>
#include <unistd.h>

#include "line_transport.h"

class Tarrow;

enum PROCESS_REQUEST_STATUS { PROCESS_CONTINUES = 0, PROCESS_COMPLETED = 1 };

struct HCStruct {
  int sock_desc;           // 0: already closed, never close again
  sockaddr_in ClientAddr;  // client's address (IP is what matters)
  Tarrow* tarrow;
  int pvm_id;              // PVM task serving this process's calls, 0 for none

  HCStruct() : sock_desc(0), ClientAddr(), tarrow(nullptr), pvm_id(0) {}
};

// Sends one line on the record's socket. A failed send closes the socket and
// sets sock_desc to 0 so that nobody closes it a second time. Returns the
// result of send_line.
inline int SEND_LINE(HCStruct& hc, const char* text) {
  int rc = send_line(hc.sock_desc, text);
  if (rc < 1) {
    if (hc.sock_desc != 0) close(hc.sock_desc);
    hc.sock_desc = 0;
  }
  return rc;
}

#endif
