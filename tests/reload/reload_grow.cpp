// The library of the module whose definition file a reload changes: twice is
// declared from the start, thrice only after the change; slow_twice (a
// thread) and count_to (a stream) must run on through the reload.
#include <unistd.h>

#include <string>

#include "wrapper_support.hxx"

namespace {

// Bounds the ticks before the release: a test that never releases the stream
// still sees it end.
const int kMaxTicks = 3000;
// Values sent after the release, so that the stream ends on code that
// started before the reload and finishes after it.
const int kTail = 5;

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

int twice(int x) { return 2 * x; }
int thrice(int x) { return 3 * x; }

// twice, once the file `release` exists (waits at most a minute).
int slow_twice(int x, std::string release) {
  for (int waited = 0; waited < 1200 && !exists(release); waited++) usleep(50000);
  return 2 * x;
}

// Sends 1, 2, 3, ... every step_ms until the file `release` exists, then
// kTail more, and ends. Ends early when the client is gone.
int count_to(ExcelChannel<int>* ch, int step_ms, std::string release) {
  int value = 0;
  int last = kMaxTicks + kTail;
  while (value < last) {
    value++;
    if (!ch->Send(value)) return 0;
    if (last > value + kTail && exists(release)) last = value + kTail;
    usleep(static_cast<useconds_t>(step_ms) * 1000);
  }
  return 1;
}
