// User library of the benchmark (bench.def).
#ifndef VELMOR_BENCH_BENCH_FUNCTIONS_H_
#define VELMOR_BENCH_BENCH_FUNCTIONS_H_

#include "wrapper_support.hxx"

// The process id of the worker that ran the call; a and b only travel.
int bench_pid(int a, int b);
// Sends 1..count on the channel without pausing; returns count.
int bench_count(ExcelChannel<int>* value, int count);

#endif
