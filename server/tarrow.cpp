#include "tarrow.h"

#include <stdlib.h>

Tarrow::Tarrow() : port(0), fm_list(nullptr), total_threads_count(0), alive_threads_count(0) {}

int Tarrow::set_port(const char* text) {
  port = atoi(text);
  return port;
}

int Tarrow::get_port() { return port; }
