// Program entry of the server: command line, environment settings and the
// order of start-up. Everything built here exists before the first worker
// process is forked and is read-only afterwards.
#ifndef VELMOR_SERVER_STARTUP_H_
#define VELMOR_SERVER_STARTUP_H_

// Prints the usage text on stderr.
void display_help();

// 1 if path can be opened for reading, else 0 with errno set by the open.
int check_availability(const char* path);

// Sets VELMOR_BIN_DIR and VELMOR_LOG_DIR to their defaults when unset, in the
// process environment, so the generator and the workers see them too.
void check_and_set_env();

// 1 when VELMOR_BIN_DIR holds a readable "system.info" and VELMOR_LOG_DIR is
// writable (its "ping" file can be created), else 0 with a message.
int check_accessability();

// Allocation-failure handler: message on stderr, then std::bad_alloc.
void out_of_memory();

// Runs the whole start-up and then the process manager. Returns the exit
// status of the program (the paths that end at once call exit themselves).
int velmord_start(int argc, char** argv);

#endif
