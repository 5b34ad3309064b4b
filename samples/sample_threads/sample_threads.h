// Functions over numeric ranges; declared both as functions and as threads.
#ifndef VELMOR_SAMPLES_SAMPLE_THREADS_H_
#define VELMOR_SAMPLES_SAMPLE_THREADS_H_

#include <vector>

#include "wrapper_support.hxx"

// The mean of values; 0 for none.
double range_average(std::vector<double> values);
// Reverses values in place; returns their number.
int reverse_range_passby_reference(std::vector<double>& values);
// A new range holding values[count-1] .. values[0]; the caller deletes it.
DoubleRange* reverse_range_returns_array(const double* values, int count);

#endif
