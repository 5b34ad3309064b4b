// The execution model is fixed at start-up and read by the server and the call channel.
// It lives in the channel library so that every module of a process sees one value.
#ifndef VELMOR_EXCHANGE_EXECUTION_MODEL_H_
#define VELMOR_EXCHANGE_EXECUTION_MODEL_H_

enum ExecutionModel { PROCESS_PER_USER = 1, PROCESS_POOL = 2 };

extern ExecutionModel execution_model;

#endif
