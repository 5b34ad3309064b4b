#include "df_exception.h"

#include <stdio.h>

Exception::Exception(int id, const char* file, const char* fn, int line) : ExceptionID(id) {
  snprintf(dumpstr, sizeof(dumpstr), "file: %s  fn: %s  line: %d", file, fn, line);
}
