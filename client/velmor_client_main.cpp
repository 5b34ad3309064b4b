// velmor_client: calls published functions and reads the catalogue of a Velmord server.
#include <signal.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "client_options.h"
#include "definition_book.h"
#include "velmor_session.h"

namespace {

volatile sig_atomic_t interrupted = 0;

void on_interrupt(int) { interrupted = 1; }

int fail(const std::string& message, int status = 1) {
  fprintf(stderr, "velmor_client: %s\n", message.c_str());
  return status;
}

void print_lines(const std::vector<std::string>& lines) {
  for (const std::string& l : lines) printf("%s\n", l.c_str());
}

// The declarations of module: from the matching --defs file, else from the server.
bool load_book(const ClientOptions& o, VelmorSession* s, const std::string& module,
               DefinitionBook* book, std::string* error) {
  const std::string* chosen = nullptr;
  for (const std::string& f : o.def_files)
    if (strcasecmp(module_of_definition_file(f).c_str(), module.c_str()) == 0) chosen = &f;
  if (chosen == nullptr && o.def_files.size() == 1) chosen = &o.def_files[0];
  if (chosen != nullptr) return book->read_file(*chosen, error);
  std::vector<std::string> lines;
  if (!s->definitions(module, &lines, error)) return false;
  for (const std::string& l : lines) book->add_catalogue_line(l);
  return true;
}

bool signature_for(const ClientOptions& o, VelmorSession* s, const std::string& module,
                   const std::string& function, CallSignature* sig, std::string* error) {
  DefinitionBook book;
  if (!load_book(o, s, module, &book, error)) return false;
  if (book.lookup(function, sig, error)) return true;
  if (book.entries().empty() && o.def_files.empty())
    *error = "the server has no declarations of module " + module +
             " (it did not regenerate its stubs at start-up); give its definition file with --defs";
  else
    *error = "module " + module + " declares no function " + function;
  return false;
}

void print_outbound(const CallSignature& sig, const std::vector<Value>& values) {
  std::vector<const ValueShape*> shapes = sig.outbound_params();
  for (size_t i = 0; i < values.size() && i < shapes.size(); i++)
    printf("%s = %s\n", shapes[i]->tag.c_str(), format_value(*shapes[i], values[i]).c_str());
}

// Prints the deliveries of a thread or stream until it ends or a limit is reached.
int follow(const ClientOptions& o, VelmorSession* s, const CallSignature& sig,
           const std::string& key) {
  using Clock = std::chrono::steady_clock;
  Clock::time_point start = Clock::now();
  Clock::time_point last_value = start;
  int received = 0;
  for (;;) {
    bool over_time = o.time_limit > 0 &&
                     Clock::now() - start >= std::chrono::seconds(o.time_limit);
    bool enough = o.count > 0 && received >= o.count;
    if (interrupted || over_time || enough) {
      std::string error;
      if (!s->stop_thread(key, &error)) fail("stop_thread failed: " + error);
      return interrupted ? 130 : 0;
    }
    // Without limits a stream may be silent for long (show_hour); a thread is
    // expected within the answer time-out.
    if (sig.kind == CALL_THREAD && o.time_limit == 0 &&
        Clock::now() - last_value >= std::chrono::seconds(o.timeout))
      return fail("no result of " + key + " within " + std::to_string(o.timeout) + " s");
    Delivery d;
    std::string error;
    if (!s->listener()->wait(key, 200, &d)) continue;
    if (d.kind == Delivery::FAILED) return fail("delivery of " + key + " failed: " + d.error);
    if (d.kind == Delivery::END) {
      fprintf(stderr, "velmor_client: stream %s ended\n", key.c_str());
      return 0;
    }
    print_outbound(sig, d.outbound);
    printf("%s\n", format_value(sig.result, d.value).c_str());
    fflush(stdout);
    received++;
    last_value = Clock::now();
    if (sig.kind == CALL_THREAD) return 0;
  }
}

int run_call(const ClientOptions& o, VelmorSession* s) {
  if (o.operands.size() < 2) return fail("call needs MODULE and FUNCTION", 2);
  const std::string& module = o.operands[0];
  const std::string& function = o.operands[1];
  std::string error;
  std::string stamp = o.stamp;
  if (stamp.empty() && !s->module_stamp(module, &stamp, &error)) return fail(error);
  CallSignature sig;
  if (!signature_for(o, s, module, function, &sig, &error)) return fail(error);
  std::vector<std::string> texts(o.operands.begin() + 2, o.operands.end());
  if (texts.size() != sig.params.size())
    return fail(function + " takes " + std::to_string(sig.params.size()) + " argument(s), " +
                std::to_string(texts.size()) + " given: " + sig.describe());
  std::vector<Value> args(texts.size());
  for (size_t i = 0; i < texts.size(); i++)
    if (!parse_value(sig.params[i], texts[i], &args[i], &error))
      return fail("argument " + std::to_string(i + 1) + " (" + sig.params[i].tag + "): " + error);
  CallOutcome outcome;
  if (!s->call(module, sig, args, stamp, &outcome, &error)) return fail(error);
  if (outcome.out_of_date)
    return fail("module " + module + " is out of date (the server answered _OUT_OF_DATE_)", 3);
  if (sig.kind == CALL_FUNCTION) {
    print_outbound(sig, outcome.outbound);
    printf("%s\n", format_value(sig.result, outcome.result).c_str());
    return 0;
  }
  fprintf(stderr, "velmor_client: %s started, key %s\n", function.c_str(), outcome.key.c_str());
  return follow(o, s, sig, outcome.key);
}

int run_catalogue(const ClientOptions& o, VelmorSession* s) {
  const std::string& c = o.command;
  const std::vector<std::string>& ops = o.operands;
  size_t needed = c == "modules" ? 0 : c == "module-file" || c == "describe" ? 2 : 1;
  if (ops.size() != needed)
    return fail(c + " takes " + std::to_string(needed) + " operand(s) (see --help)", 2);
  std::vector<std::string> lines;
  std::string error;
  bool ok = false;
  if (c == "modules") {
    ok = s->modules(&lines, &error);
  } else if (c == "formulae" || c == "generators") {
    std::vector<std::pair<std::string, std::string>> entries;
    ok = s->formulae(ops[0], c == "generators", &entries, &error);
    for (const auto& e : entries) lines.push_back(e.first + " = " + e.second);
  } else if (c == "definitions") {
    ok = s->definitions(ops[0], &lines, &error);
  } else if (c == "vba") {
    ok = s->vba_module(ops[0], &lines, &error);
  } else if (c == "module-file") {
    int k = atoi(ops[1].c_str());
    if (k < 1) return fail("module-file needs a file number from 1", 2);
    ok = s->module_file(ops[0], k, &lines, &error);
  } else if (c == "stamp") {
    std::string stamp;
    ok = s->server_stamp(ops[0], &stamp, &error);
    lines.push_back(stamp);
  } else if (c == "describe") {
    CallSignature sig;
    ok = signature_for(o, s, ops[0], ops[1], &sig, &error);
    lines.push_back(sig.describe());
  } else if (c == "stop") {
    ok = s->stop_thread(ops[0], &error);
  } else {
    return fail("unknown command " + c + " (see --help)", 2);
  }
  if (!ok) return fail(error);
  print_lines(lines);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ClientOptions options;
  std::string error;
  if (!parse_client_options(argc, argv, &options, &error)) return fail(error, 2);
  if (options.help) {
    fputs(client_usage(), stdout);
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa = {};
  sa.sa_handler = on_interrupt;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  VelmorSession session(options.host, options.port, options.timeout * 1000);
  if (!options.source.empty()) session.set_source_address(options.source);
  if (options.command == "call") return run_call(options, &session);
  return run_catalogue(options, &session);
}
