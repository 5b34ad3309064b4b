// The worker's debug trace: off unless a trace file is named (-t / -trace).
// Each line is "%lu: %s\n" (seconds since the epoch, text), appended with the
// file opened and closed per line, so a crash loses nothing already traced.
#ifndef VELMOR_PVM_WORKER_TRACE_H_
#define VELMOR_PVM_WORKER_TRACE_H_

// Names the trace file (copied, truncated to 1023 characters); NULL turns the trace off.
void set_trace_file(const char* path);

// Appends one line, printf-style; does nothing without a trace file or when
// the file cannot be opened.
void worker_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif
