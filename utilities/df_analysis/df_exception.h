// The error object of formula analysis.  Raised for missing arguments (5001),
// an over-long book name (5002) and a failed allocation (5003).
#ifndef VELMOR_DF_ANALYSIS_DF_EXCEPTION_H_
#define VELMOR_DF_ANALYSIS_DF_EXCEPTION_H_

enum {
  DF_ARGUMENT_MISSING = 5001,
  DF_BOOK_NAME_TOO_LONG = 5002,
  DF_CREATE_FAILED = 5003,
};

class Exception {
 public:
  int ExceptionID;
  char dumpstr[512];  // "file: %s  fn: %s  line: %d"

  Exception(int id, const char* file, const char* fn, int line);
};

#endif
