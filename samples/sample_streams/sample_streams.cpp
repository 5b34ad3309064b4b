#include "sample_streams.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// An interval below 1 would make the value count a division by zero (or negative).
int sane_interval(int interval) { return interval < 1 ? 1 : interval; }

int value_count(int interval, int duration) {
  return duration > 0 ? duration / sane_interval(interval) : 0;
}

struct tm local_now() {
  time_t now = time(nullptr);
  struct tm parts;
  localtime_r(&now, &parts);
  return parts;
}

}  // namespace

int show_time(ExcelChannel<char*>* channel, int interval, int duration) {
  // One buffer per process, as the channel only reads it during Send.
  static char* buffer = new char[128];
  int n = value_count(interval, duration);
  for (int i = 0; i < n; i++) {
    time_t now = time(nullptr);
    char text[64];
    ctime_r(&now, text);
    snprintf(buffer, 128, "%s", text);
    buffer[strcspn(buffer, "\r\n")] = '\0';
    channel->Send(buffer);
    sleep(sane_interval(interval));
  }
  return 1;
}

int show_hour(ExcelChannel<int>* channel, int count) {
  int hour = local_now().tm_hour;
  channel->Send(hour);
  sleep(3600 - time(nullptr) % 3600);
  for (int i = 0; i < count; i++) {
    hour = local_now().tm_hour;
    channel->Send(hour);
    sleep(3600);
  }
  return 1;
}

int show_minute(ExcelChannel<int>* channel, int count) {
  int minute = local_now().tm_min;
  channel->Send(minute);
  sleep(60 - time(nullptr) % 60);
  for (int i = 0; i < count; i++) {
    minute = local_now().tm_min;
    channel->Send(minute);
    sleep(60);
  }
  return 1;
}

int show_second(ExcelChannel<int>* channel, int interval, int duration) {
  int n = value_count(interval, duration);
  for (int i = 0; i < n; i++) {
    int second = local_now().tm_sec;
    channel->Send(second);
    sleep(sane_interval(interval));
  }
  return 1;
}

int show_elapsed(ExcelChannel<long>* channel, int interval, int duration) {
  time_t start = time(nullptr);
  int n = value_count(interval, duration);
  for (int i = 0; i < n; i++) {
    long elapsed = static_cast<long>(time(nullptr) - start);
    channel->Send(elapsed);
    sleep(sane_interval(interval));
  }
  return 1;
}

// The stub's channel streams Range<double>* and is handed over as a channel of
// DoubleRange* (a class derived from it); the layouts agree, but the sanitizer's
// dynamic-type check of the Send call would not, so it is left out here.
__attribute__((no_sanitize("vptr")))
int jumping_array(ExcelChannel<DoubleRange*>* channel, int interval, int duration) {
  printf("Inside jumping array\n");
  fflush(stdout);
  srand(static_cast<unsigned>(time(nullptr)));
  DoubleRange* range = new DoubleRange(5, new double[5]);
  double* values = range->GetValue();
  int n = value_count(interval, duration);
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < 5; k++)
      values[k] = static_cast<int>(10.0 * rand() / 2147483648.0) + 1;
    channel->Send(range);
    sleep(sane_interval(interval));
  }
  printf("Jumping Over\n");
  fflush(stdout);
  delete range;
  return 1;
}
