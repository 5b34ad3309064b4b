// PLACEHOLDER: replaced by the client request protocol.
#include "tarrow.h"

PROCESS_REQUEST_STATUS Tarrow::ProcessRequest(HCStruct*, char*) { return PROCESS_COMPLETED; }
