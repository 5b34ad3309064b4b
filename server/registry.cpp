// PLACEHOLDER: replaced by the function registry.
#include "tarrow.h"

int Tarrow::load_formulae(char*) { return 1; }
int Tarrow::readConfiguration() { return 1; }
int Tarrow::printConfiguration() { return 1; }
int Tarrow::IsProtoConsistent(char*, char*) { return 0; }
int Tarrow::GetProtoTimeStamp(char*, char*) { return 0; }
REMFUN Tarrow::getRemoteFunction(char*, char*) { return nullptr; }
ExecutionType Tarrow::find_execution_type(char*) { return EXECUTE_AS_FUNCTION; }
