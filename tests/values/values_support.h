// Fixtures of the value tests: the definition file over the values test
// library, and the check that every number of its table arrives bit for bit
// through every path of a call.
#ifndef VELMOR_TESTS_VALUES_VALUES_SUPPORT_H_
#define VELMOR_TESTS_VALUES_VALUES_SUPPORT_H_

#include <string>
#include <utility>

#include "server_process.h"

// name -> text of the definition file "values".
std::pair<std::string, std::string> values_definition_file();

// Calls every function of "values" on server and expects each number of the
// table back exactly: plain results and arguments, outbound arguments, a
// range, a vector, a record, threads, streams on the client's stream
// connection and streams delivered on connections of their own. Reports
// through the test framework.
void check_values_travel_exactly(ServerProcess* server);

#endif
