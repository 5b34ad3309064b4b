// A small user library for the wrapper build tests. Its functions have C++
// linkage, so they are found through "map.info" by their readable names; one
// has C linkage and is found under its own. Only the names matter to the stubs that are compiled against
// it: the stubs are loaded, not called.
#include <vector>

double average(double* values, int count) {
  double sum = 0;
  for (int i = 0; i < count; i++) sum += values[i];
  return count > 0 ? sum / count : 0;
}

int scale(std::vector<double>& values, double factor) {
  for (double& v : values) v *= factor;
  return (int)values.size();
}

double count_up(int n) { return n; }
int ticker(void*) { return 1; }
int jump(void*, int, double&) { return 1; }
int take_range(void*, void*) { return 1; }
void* lookup(const char*, int&) { return nullptr; }
void* find_all(const char*) { return nullptr; }
char* name_of(char*, char**) { return nullptr; }
int fill(void*, void*) { return 1; }
int hold(void*, void*, void*) { return 1; }

extern "C" int plain_c_function(int x) { return x + 1; }
