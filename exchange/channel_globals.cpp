#include "execution_model.h"

ExecutionModel execution_model = PROCESS_POOL;
