// A stand-in for a generated stub library: one entry point of the stub
// signature. Its C library dependency provides exit, which the registry
// must never hand out.
class DataExchange;

extern "C" int range_average(DataExchange*) { return 7; }
extern "C" int Undeclared(DataExchange*) { return 8; }
