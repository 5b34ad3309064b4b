// Where every stub runs: the server's request protocol and call threads, and
// the PVM worker's call threads. A stub ends one of four ways, and the
// caller learns which.
#ifndef VELMOR_EXCHANGE_STUB_RUNNER_H_
#define VELMOR_EXCHANGE_STUB_RUNNER_H_

#include <string>

#include "remfun.h"

class DataExchange;

enum StubOutcome {
  STUB_FAILED = 0,      // the stub returned 0 (its library or symbol missing, ...)
  STUB_DONE = 1,        // the stub returned non-zero
  STUB_ABANDONED = -1,  // the client left before the arguments were through
  STUB_THREW = -2       // the user's code threw; the call was failed (fail_call)
};

// Runs entry on de. An exception that leaves the stub (any type) ends the
// call as a library failure: "Function F of module M threw: WHAT" on
// standard error, the client told through de->fail_call(), and *thrown (when
// not null) set to WHAT. A thread's cancellation unwinds through untouched.
// Thread-safe: it keeps no state of its own.
StubOutcome run_stub(REMFUN entry, DataExchange* de, std::string* thrown = nullptr);

#endif
