// The values test library: every number of the table through every path a
// value can take (plain results, outbound arguments, ranges, vectors,
// records, threads, streams on the client's stream connection and streams
// delivered on connections of their own).
#include <vector>

#include "value_table.h"
#include "wrapper_support.hxx"

namespace {

double table_double(int i) { return i >= 0 && i < kTableDoubleCount ? kTableDoubles[i] : 0; }
float table_float(int i) { return i >= 0 && i < kTableFloatCount ? kTableFloats[i] : 0; }

}  // namespace

double dvalue(int i) { return table_double(i); }
float fvalue(int i) { return table_float(i); }
double decho(double x) { return x; }
float fecho(float x) { return x; }

int dout(int i, double& x) {
  x = table_double(i);
  return i;
}

int fout(int i, float& x) {
  x = table_float(i);
  return i;
}

DoubleRange* drange(int n) {
  double* values = new double[n];
  for (int i = 0; i < n; i++) values[i] = table_double(i);
  return new DoubleRange(n, values);
}

int fvector(std::vector<float>& v) {
  v.assign(kTableFloats, kTableFloats + kTableFloatCount);
  return (int)v.size();
}

// Same members in the same order as the definition file's record type.
class Pair {
 public:
  double d;
  float f;
};

Pair pair_at(int i) { return Pair{table_double(i), table_float(i)}; }

double dthread(int i) { return table_double(i); }
float fthread(int i) { return table_float(i); }

int dstream(ExcelChannel<double>* ch) {
  for (int i = 0; i < kTableDoubleCount; i++) {
    double v = kTableDoubles[i];
    if (ch->Send(v) == 0) return 0;
  }
  return 1;
}

int fstream(ExcelChannel<float>* ch) {
  for (int i = 0; i < kTableFloatCount; i++) {
    float v = kTableFloats[i];
    if (ch->Send(v) == 0) return 0;
  }
  return 1;
}

// With an outbound argument each value comes on a connection of its own.
int dstream_out(ExcelChannel<double>* ch, int& index) {
  for (index = 0; index < kTableDoubleCount; index++) {
    double v = kTableDoubles[index];
    if (ch->Send(v) == 0) return 0;
  }
  return 1;
}

int fstream_out(ExcelChannel<float>* ch, int& index) {
  for (index = 0; index < kTableFloatCount; index++) {
    float v = kTableFloats[index];
    if (ch->Send(v) == 0) return 0;
  }
  return 1;
}
