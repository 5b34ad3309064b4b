#include "bounded_copy.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void give_up() {
  fprintf(stderr, "Sorry, exiting ...\n");
  fflush(stdout);
  exit(1);
}

void bounded_strcpy(char* dst, const char* src, int available) {
  size_t len = strlen(src);
  if (available < 1 || len >= static_cast<size_t>(available)) {
    fprintf(stderr, "Not enough space (available %d) to strcpy %s\n", available, src);
    give_up();
  }
  memcpy(dst, src, len + 1);
}

void bounded_strcat(char* dst, const char* src, int available) {
  size_t used = strnlen(dst, available > 0 ? static_cast<size_t>(available) : 0);
  size_t len = strlen(src);
  if (available < 1 || used + len >= static_cast<size_t>(available)) {
    fprintf(stderr, "Not enough space (available %d, used %d) to strcat %s\n", available,
            static_cast<int>(used), src);
    give_up();
  }
  memcpy(dst + used, src, len + 1);
}
