#include "accept_backoff.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

namespace {

// Monotonic second of the last report, and failures since it.
std::atomic<long> reported_second(-1);
std::atomic<unsigned long> unreported(0);

bool only_this_connection(int err) {
  return err == EINTR || err == ECONNABORTED || err == EPROTO || err == EPERM ||
         err == ENETDOWN || err == ENETUNREACH || err == EHOSTUNREACH || err == EHOSTDOWN ||
         err == ENONET || err == EOPNOTSUPP || err == ETIMEDOUT;
}

bool out_of_resources(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void report(int err) {
  unsigned long failures = unreported.exchange(0);
  fprintf(stderr, "Error While Accepting clients connection \n");
  char text[128];
  const char* reason = strerror_r(err, text, sizeof(text));
  if (out_of_resources(err))
    fprintf(stderr, "%s: accepting pauses until some are free (%lu failed accepts)\n", reason,
            failures);
  else
    fprintf(stderr, "%s (%lu failed accepts)\n", reason, failures);
}

}  // namespace

void accept_failed(int err) {
  if (only_this_connection(err)) return;
  unreported++;
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long last = reported_second.load();
  if (now.tv_sec != last && reported_second.compare_exchange_strong(last, now.tv_sec))
    report(err);
  timespec pause = {0, kAcceptPauseMs * 1000L * 1000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}
