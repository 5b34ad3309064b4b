// A tiny PVM task for the task-table tests. Started through a test start
// script, it answers its parent's first tag-1 message with one text:
// "<its arguments, comma-separated>|<its working directory>|<the text received>"
// and then waits (bounded) for the parent to kill it.
#include <pvm3.h>
#include <unistd.h>

#include <string>

#include "pvm_buffers.h"

int main(int argc, char** argv) {
  int parent;
  {
    PvmBufferScope scope;
    parent = pvm_parent();
  }
  if (parent <= 0) return 1;
  char text[1024];
  if (pvm_thread_recv_text(parent, 1, 30000, text, sizeof text) <= 0) return 1;
  std::string reply;
  for (int i = 1; i < argc; i++) reply += std::string(i > 1 ? "," : "") + argv[i];
  char cwd[512];
  reply += std::string("|") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "|" + text;
  pvm_thread_send_text(parent, 2, reply.c_str());
  sleep(60);
  PvmBufferScope scope;
  pvm_exit();
  return 0;
}
