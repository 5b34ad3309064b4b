// The client add-in's side of the protocol, for one server: catalogue
// requests, function calls with their arguments and results, the call-backs
// of threads and streams, and stop_thread. Every conversation is a connection
// of its own; every wait is bounded by the session's time limit.
#ifndef VELMOR_CLIENT_VELMOR_SESSION_H_
#define VELMOR_CLIENT_VELMOR_SESSION_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "callback_listener.h"
#include "value_shape.h"
#include "value_text.h"

struct CallOutcome {
  bool out_of_date = false;     // the server answered "_OUT_OF_DATE_"
  std::vector<Value> outbound;  // plain functions: outbound parameters in declaration order
  Value result;                 // plain functions: the result
  std::string key;              // threads and streams: the key of the later deliveries
};

class VelmorSession {
 public:
  VelmorSession(const std::string& host, int port, int timeout_ms = 30000);

  // Items 1, 2, ... of a catalogue list ("givefm", "populate_formula~M", ...)
  // until "__OVER__". "__ERR__" fails with error "unknown module".
  bool list(const std::string& request, std::vector<std::string>* items, std::string* error);
  bool modules(std::vector<std::string>* out, std::string* error);
  // Usage name and formula text of each FORMULAE (or GENERATORS) entry.
  bool formulae(const std::string& module, bool generators,
                std::vector<std::pair<std::string, std::string>>* out, std::string* error);
  // "%d~%s" lines of givemedefn.
  bool definitions(const std::string& book, std::vector<std::string>* out, std::string* error);
  // The lines of the generated VBA module of module ("" for a served blank line).
  bool vba_module(const std::string& module, std::vector<std::string>* out, std::string* error);
  // The lines of the k-th file under MODULES.
  bool module_file(const std::string& module, int k, std::vector<std::string>* out,
                   std::string* error);
  // GET_UPD_TIME; fails with "module M is not loaded" on "__ERR__".
  bool server_stamp(const std::string& module, std::string* stamp, std::string* error);
  // The stamp compiled into the generated VBA module (what a workbook sends),
  // or the server's stamp when the module file is not served.
  bool module_stamp(const std::string& module, std::string* stamp, std::string* error);

  // START_FUNCTION, the arguments, the end of arguments, then for a plain
  // function its outbound values and result; for a thread or stream the key.
  bool call(const std::string& module, const CallSignature& sig, const std::vector<Value>& args,
            const std::string& stamp, CallOutcome* out, std::string* error);
  // The next delivery of a thread or stream call.
  bool next_delivery(const std::string& key, int timeout_ms, Delivery* out, std::string* error);
  bool stop_thread(const std::string& key, std::string* error);

  CallbackListener* listener() { return listener_.get(); }
  // Connect from this local address (say 127.0.0.2, to be another client).
  void set_source_address(const std::string& address) { source_ = address; }

 private:
  std::string host_;
  int port_;
  int timeout_ms_;
  std::string source_;
  std::unique_ptr<CallbackListener> listener_;
};

#endif
