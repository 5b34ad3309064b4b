// The command line of velmor_client.
#ifndef VELMOR_CLIENT_CLIENT_OPTIONS_H_
#define VELMOR_CLIENT_CLIENT_OPTIONS_H_

#include <string>
#include <vector>

struct ClientOptions {
  std::string host = "127.0.0.1";
  std::string source;       // local address of the connections to the server; empty: any
  int port = 9999;
  std::vector<std::string> def_files;
  std::string stamp;        // empty: the module's own
  int count = 0;            // threads and streams: stop after this many values (0: no limit)
  int time_limit = 0;       // threads and streams: stop after this many seconds (0: no limit)
  int timeout = 30;         // seconds to wait for each answer
  bool help = false;
  std::string command;
  std::vector<std::string> operands;
};

// Fills options from argv; false with error set on a malformed command line.
bool parse_client_options(int argc, char** argv, ClientOptions* options, std::string* error);

// The text of --help.
const char* client_usage();

// The module name of a definition file: its base name cut at the first ".".
std::string module_of_definition_file(const std::string& path);

#endif
