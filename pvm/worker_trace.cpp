#include "worker_trace.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <time.h>

static char trace_file[1024];
static pthread_mutex_t trace_lock = PTHREAD_MUTEX_INITIALIZER;

void set_trace_file(const char* path) {
  pthread_mutex_lock(&trace_lock);
  snprintf(trace_file, sizeof trace_file, "%s", path == NULL ? "" : path);
  pthread_mutex_unlock(&trace_lock);
}

void worker_trace(const char* format, ...) {
  char text[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  // Call threads trace too; one lock keeps their lines whole.
  pthread_mutex_lock(&trace_lock);
  if (trace_file[0] != '\0') {
    FILE* f = fopen(trace_file, "a");
    if (f != NULL) {
      fprintf(f, "%lu: %s\n", (unsigned long)time(NULL), text);
      fclose(f);
    }
  }
  pthread_mutex_unlock(&trace_lock);
}
