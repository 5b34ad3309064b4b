// The server's process-wide singletons, in the order the server builds them.
// Kept apart from the program entry so that the PVM worker and the tests can
// link them. `execution_model` lives in the channel library.
#include "process_manager.h"
#include "tarrow.h"

Tarrow FS;
ProcessManager PM;
int max_kids = 1;
int max_threads_per_kid = 512;
