#include "sample_threads.h"

#include <cstdio>
#include <utility>

double range_average(std::vector<double> values) {
  double sum = 0;
  for (double v : values) sum += v;
  size_t n = values.empty() ? 1 : values.size();
  return sum / n;
}

int reverse_range_passby_reference(std::vector<double>& values) {
  size_t n = values.size();
  for (size_t i = 0; i < n / 2; i++) std::swap(values[i], values[n - 1 - i]);
  return static_cast<int>(n);
}

DoubleRange* reverse_range_returns_array(const double* values, int count) {
  // A negative count (or no values) gives an empty range rather than a bad allocation.
  if (count < 0 || values == nullptr) count = 0;
  double* reversed = new double[count > 0 ? count : 1];
  for (int i = 0; i < count; i++) {
    printf("Input range value [%d] = %lf\n", i, values[count - 1 - i]);
    reversed[i] = values[count - 1 - i];
  }
  return new DoubleRange(count, reversed);
}
