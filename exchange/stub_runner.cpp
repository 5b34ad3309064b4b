#include "stub_runner.h"

#include <stdio.h>

#include <exception>

#include "data_exchange.h"

namespace {

void report_throw(DataExchange* de, const char* what, std::string* thrown) {
  if (what == nullptr) what = "";
  fprintf(stderr, "Function %s of module %s threw: %s\n", de->function_name, de->GetModuleName(), what);
  if (thrown != nullptr) *thrown = what;
  de->fail_call();
}

}  // namespace

StubOutcome run_stub(REMFUN entry, DataExchange* de, std::string* thrown) {
  try {
    return entry(de) == 0 ? STUB_FAILED : STUB_DONE;
  } catch (const CallAbandoned&) {
    return STUB_ABANDONED;
  } catch (const std::exception& e) {
    report_throw(de, e.what(), thrown);
  } catch (...) {
    // A stop unwinds the thread as an exception of the C library's, which
    // the C++ runtime does not hand out (no current exception): it goes on,
    // and the call's clean-up handlers end the call.
    if (!std::current_exception()) throw;
    report_throw(de, "an exception that is not a std::exception", thrown);
  }
  return STUB_THREW;
}
