// Velmord with a request protocol of its own, for the process-manager tests:
//   pid          answers the serving process's id
//   echo~TEXT    answers TEXT
//   sleep~MS     waits MS milliseconds, answers "slept"
//   flood~N      answers N lines of 1000 characters, then "flooded"
//   complete     answers "completed" and completes the conversation
//   cancel       cancels the connection thread, as a stop request does
//   late_cancel  leaves a cancellation pending, as a stop that reached a call
//                after its last safe point does; answers "pending"
//   tid          answers the serving thread's id
//   mark~TEXT    appends TEXT and a newline to $VELMOR_LOG_DIR/marks, answers
//                "marked": what a conversation ran leaves a trace
//   __CLOSE__    ends the connection as the real protocol does
// Start-up, connection handling and the process manager are the real ones.
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "line_transport.h"
#include "startup.h"
#include "tarrow.h"

PROCESS_REQUEST_STATUS Tarrow::ProcessRequest(HCStruct* hc, char* data) {
  char* arg = strchr(data, '~');
  if (arg != nullptr) *arg++ = '\0';
  std::string field = arg ? arg : "";
  char reply[64];

  if (strcmp(data, "pid") == 0) {
    snprintf(reply, sizeof(reply), "%d", static_cast<int>(getpid()));
    SEND_LINE(*hc, reply);
  } else if (strcmp(data, "echo") == 0) {
    SEND_LINE(*hc, field.c_str());
  } else if (strcmp(data, "sleep") == 0) {
    usleep(static_cast<useconds_t>(atoi(field.c_str())) * 1000);
    SEND_LINE(*hc, "slept");
  } else if (strcmp(data, "flood") == 0) {
    const std::string line(1000, 'f');
    for (int i = 0; i < atoi(field.c_str()) && hc->sock_desc != 0; i++) SEND_LINE(*hc, line.c_str());
    if (hc->sock_desc != 0) SEND_LINE(*hc, "flooded");
  } else if (strcmp(data, "cancel") == 0) {
    pthread_cancel(pthread_self());
    pthread_testcancel();
  } else if (strcmp(data, "late_cancel") == 0) {
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    pthread_cancel(pthread_self());
    SEND_LINE(*hc, "pending");
  } else if (strcmp(data, "tid") == 0) {
    snprintf(reply, sizeof(reply), "%ld", static_cast<long>(syscall(SYS_gettid)));
    SEND_LINE(*hc, reply);
  } else if (strcmp(data, "mark") == 0) {
    std::string path = std::string(getenv("VELMOR_LOG_DIR")) + "/marks";
    FILE* f = fopen(path.c_str(), "a");
    if (f != nullptr) {
      fprintf(f, "%s\n", field.c_str());
      fclose(f);
    }
    SEND_LINE(*hc, "marked");
  } else if (strcmp(data, "complete") == 0) {
    SEND_LINE(*hc, "completed");
    return PROCESS_COMPLETED;
  } else if (strcmp(data, "__CLOSE__") == 0) {
    return PROCESS_COMPLETED;
  } else {
    SEND_LINE(*hc, "unknown");
  }
  return PROCESS_CONTINUES;
}

int main(int argc, char** argv) { return velmord_start(argc, argv); }
