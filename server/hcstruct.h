// Connection record handed to a connection thread, and the verdict of one request.
#ifndef VELMOR_SERVER_HCSTRUCT_H_
#define VELMOR_SERVER_HCSTRUCT_H_

#include <netinet/in.h>

class Tarrow;

enum PROCESS_REQUEST_STATUS { PROCESS_CONTINUES = 0, PROCESS_COMPLETED = 1 };

struct HCStruct {
  int sock_desc;           // 0: already closed, never close again
  sockaddr_in ClientAddr;  // client's address (IP is what matters)
  Tarrow* tarrow;
  int pvm_id;              // PVM task serving this process's calls, 0 for none

  HCStruct() : sock_desc(0), ClientAddr(), tarrow(nullptr), pvm_id(0) {}
};

#endif
