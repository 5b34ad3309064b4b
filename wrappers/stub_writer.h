// The C++ stub generator: a class per record type and, per declared function,
// thread and live thread, a stub `int NAME(DataExchange*)` with C linkage that
// unpacks the arguments, calls the user's function and sends the results back.
// The writers themselves are members of ExternDefinition (externals.h).
#ifndef VELMOR_WRAPPERS_STUB_WRITER_H_
#define VELMOR_WRAPPERS_STUB_WRITER_H_

#include <stdio.h>

#include "externals.h"

// Opening and closing text of the C++ type that carries p in a stub
// ("ResultRange<", "vector<", "Matrix<", or nothing).
const char* container_begin(Prototype* p);
const char* container_end(Prototype* p);

// The banner comment and the include line that open the stub source.
void write_cpp_banner(FILE* out);
void write_cpp_include(FILE* out);

// Number of outbound parameters of a list (a live thread's channel included).
int count_outbound(Llist<Prototype*>* params);

#endif
