#include "velmor_session.h"

#include <arpa/inet.h>

#include "line_connection.h"
#include "value_wire.h"

namespace {

const char kOk[] = "__OK__";
// Safety stop for catalogue iteration against a server that never says "__OVER__".
const int kMaxItems = 100000;

// Received units of a call; each is acknowledged like the add-in does.
class ReplySource : public UnitSource {
 public:
  explicit ReplySource(LineConnection* c) : conn_(c) {}
  bool next(std::string* unit, std::string* error) override {
    return conn_->receive(unit, error) && conn_->send(kOk, error);
  }

 private:
  LineConnection* conn_;
};

// Waits (bounded) until the server closes a finished conversation. In the
// per-user model the relay of this connection still talks to the worker until
// then, and a next connection started earlier would mix its lines into that.
void await_close(LineConnection* conn) {
  std::string line, error;
  for (int i = 0; i < 50; i++) {
    if (!conn->receive_within(100, &line, &error) && !error.empty()) break;  // closed
  }
  conn->close();
}

// Ends a conversation that would otherwise continue.
void close_conversation(LineConnection* conn) {
  std::string ignored;
  if (conn->send("__CLOSE__", &ignored)) await_close(conn);
  conn->close();
}

}  // namespace

VelmorSession::VelmorSession(const std::string& host, int port, int timeout_ms)
    : host_(host), port_(port), timeout_ms_(timeout_ms) {}

bool VelmorSession::list(const std::string& request, std::vector<std::string>* items,
                         std::string* error) {
  items->clear();
  LineConnection conn(timeout_ms_);
  if (!conn.open(host_, port_, error, source_)) return false;
  for (int n = 1; n <= kMaxItems; n++) {
    std::string reply;
    if (!conn.send(request + "~" + std::to_string(n), error) || !conn.receive(&reply, error))
      return false;
    if (reply == "__OVER__") break;
    if (reply == "__ERR__") {
      *error = "unknown module or file (" + request + ")";
      close_conversation(&conn);
      return false;
    }
    items->push_back(reply == " " ? "" : reply);
  }
  close_conversation(&conn);
  return true;
}

bool VelmorSession::modules(std::vector<std::string>* out, std::string* error) {
  return list("givefm", out, error);
}

bool VelmorSession::formulae(const std::string& module, bool generators,
                             std::vector<std::pair<std::string, std::string>>* out,
                             std::string* error) {
  std::vector<std::string> names, texts;
  if (!list((generators ? "populate_genusage~" : "populate_formula~") + module, &names, error) ||
      !list((generators ? "populate_genappname~" : "populate_appname~") + module, &texts, error))
    return false;
  out->clear();
  for (size_t i = 0; i < names.size(); i++)
    out->push_back({names[i], i < texts.size() ? texts[i] : ""});
  return true;
}

bool VelmorSession::definitions(const std::string& book, std::vector<std::string>* out,
                                std::string* error) {
  return list("givemedefn~" + book, out, error);
}

bool VelmorSession::vba_module(const std::string& module, std::vector<std::string>* out,
                               std::string* error) {
  return list("wrapper~" + module, out, error);
}

bool VelmorSession::module_file(const std::string& module, int k, std::vector<std::string>* out,
                                std::string* error) {
  return list("module~" + module + "~" + std::to_string(k), out, error);
}

bool VelmorSession::server_stamp(const std::string& module, std::string* stamp,
                                 std::string* error) {
  LineConnection conn(timeout_ms_);
  if (!conn.open(host_, port_, error, source_)) return false;
  if (!conn.send("GET_UPD_TIME~" + module, error) || !conn.receive(stamp, error)) return false;
  if (*stamp == "__ERR__") {
    *error = "module " + module + " is not loaded by the server";
    return false;
  }
  return true;
}

bool VelmorSession::module_stamp(const std::string& module, std::string* stamp,
                                 std::string* error) {
  std::vector<std::string> lines;
  std::string ignored;
  if (vba_module(module, &lines, &ignored)) {
    const std::string marker = "last_updated_time  as string = \"";
    for (const std::string& line : lines) {
      size_t at = line.find(marker);
      size_t end = line.rfind('"');
      if (at != std::string::npos && end > at + marker.size() - 1) {
        *stamp = line.substr(at + marker.size(), end - at - marker.size());
        return true;
      }
    }
  }
  return server_stamp(module, stamp, error);
}

bool VelmorSession::call(const std::string& module, const CallSignature& sig,
                         const std::vector<Value>& args, const std::string& stamp,
                         CallOutcome* out, std::string* error) {
  *out = CallOutcome();
  if (args.size() != sig.params.size()) {
    *error = sig.name + " takes " + std::to_string(sig.params.size()) + " argument(s), " +
             std::to_string(args.size()) + " given";
    return false;
  }
  std::vector<std::vector<std::string>> units(args.size());
  for (size_t i = 0; i < args.size(); i++)
    if (!encode_value(sig.params[i], args[i], &units[i], error)) return false;

  LineConnection conn(timeout_ms_);
  if (!conn.open(host_, port_, error, source_)) return false;
  if (sig.kind != CALL_FUNCTION && !listener_) {
    // Call-backs go to the address the server sees this connection come from.
    sockaddr_in local;
    std::unique_ptr<CallbackListener> l(new CallbackListener(timeout_ms_));
    if (!conn.local_address(&local) || !l->start(local.sin_addr, error)) return false;
    listener_ = std::move(l);
  }
  int callback_port = listener_ ? listener_->port() : 0;
  std::string reply;
  if (!conn.send("START_FUNCTION~" + module + "~" + sig.name + "~" +
                     std::to_string(callback_port) + "~" + stamp, error))
    return false;
  if (!conn.receive(&reply, error)) {
    *error = "the server does not publish " + sig.name + " in module " + module;
    return false;
  }
  if (reply == "_OUT_OF_DATE_") {
    out->out_of_date = true;
    return true;
  }
  if (reply != kOk) {
    *error = "unexpected answer to START_FUNCTION: " + reply;
    return false;
  }
  for (size_t i = 0; i < units.size(); i++) {
    for (const std::string& unit : units[i]) {
      if (!conn.send(unit, error) || !conn.receive(&reply, error)) {
        *error = "argument " + sig.params[i].tag + " was not taken: " + *error;
        return false;
      }
    }
  }
  if (!conn.send("__END_OF_ARGUMENTS__", error)) return false;

  ReplySource source(&conn);
  if (sig.kind == CALL_FUNCTION) {
    for (const ValueShape* p : sig.outbound_params()) {
      Value v;
      if (!read_value(&source, *p, &v, error)) {
        *error = "no value for " + p->tag + ": " + *error;
        return false;
      }
      out->outbound.push_back(v);
    }
    if (!read_value(&source, sig.result, &out->result, error)) {
      *error = "no result: " + *error;
      return false;
    }
    await_close(&conn);
    return true;
  }
  // "#THREAD_KEY" or "#STREAM_KEY": register the key before the acknowledgement,
  // which is what lets the server go on and call back.
  if (!conn.receive(&reply, error)) {
    *error = "no call key: " + *error;
    return false;
  }
  const std::string prefix = sig.kind == CALL_THREAD ? "#THREAD_" : "#STREAM_";
  if (reply.compare(0, prefix.size(), prefix) != 0) {
    *error = "unexpected answer instead of the call key: " + reply;
    return false;
  }
  out->key = reply.substr(prefix.size());
  listener_->expect(out->key, sig);
  if (!conn.send(kOk, error)) return false;
  await_close(&conn);
  return true;
}

bool VelmorSession::next_delivery(const std::string& key, int timeout_ms, Delivery* out,
                                  std::string* error) {
  if (!listener_) {
    *error = "no call-back listener";
    return false;
  }
  if (!listener_->wait(key, timeout_ms, out)) {
    *error = "no delivery within " + std::to_string(timeout_ms / 1000) + " s";
    return false;
  }
  if (out->kind == Delivery::FAILED) {
    *error = "delivery failed: " + out->error;
    return false;
  }
  return true;
}

bool VelmorSession::stop_thread(const std::string& key, std::string* error) {
  LineConnection conn(timeout_ms_);
  std::string reply;
  if (!conn.open(host_, port_, error, source_) || !conn.send("stop_thread~" + key, error) ||
      !conn.receive(&reply, error))
    return false;
  close_conversation(&conn);
  if (reply != kOk) {
    *error = "stop_thread answered " + reply;
    return false;
  }
  return true;
}
