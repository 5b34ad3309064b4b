#include "client_options.h"

#include <cstdlib>
#include <cstring>

namespace {

bool to_int(const std::string& text, int low, int high, int* out) {
  char* end = nullptr;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

bool parse_client_options(int argc, char** argv, ClientOptions* o, std::string* error) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool has_value = i + 1 < argc;
    auto value = [&](int low, int high, int* out) {
      if (!has_value || !to_int(argv[i + 1], low, high, out)) {
        *error = "option " + a + " needs a number from " + std::to_string(low) + " to " +
                 std::to_string(high);
        return false;
      }
      i++;
      return true;
    };
    if (a == "-h" || a == "--help") {
      o->help = true;
    } else if (a == "-H" || a == "--host") {
      if (!has_value) {
        *error = "option " + a + " needs a host";
        return false;
      }
      o->host = argv[++i];
    } else if (a == "-s" || a == "--source") {
      if (!has_value) {
        *error = "option " + a + " needs a local address";
        return false;
      }
      o->source = argv[++i];
    } else if (a == "-p" || a == "--port") {
      if (!value(1, 65535, &o->port)) return false;
    } else if (a == "-d" || a == "--defs") {
      if (!has_value) {
        *error = "option " + a + " needs a definition file";
        return false;
      }
      o->def_files.push_back(argv[++i]);
    } else if (a == "--stamp") {
      if (!has_value) {
        *error = "option --stamp needs a text";
        return false;
      }
      o->stamp = argv[++i];
    } else if (a == "-n" || a == "--count") {
      if (!value(1, 1000000000, &o->count)) return false;
    } else if (a == "-t" || a == "--time") {
      if (!value(1, 100000000, &o->time_limit)) return false;
    } else if (a == "--timeout") {
      if (!value(1, 100000, &o->timeout)) return false;
    } else if (a == "--") {
      for (i++; i < argc; i++) o->operands.push_back(argv[i]);
    } else if (a.size() > 1 && a[0] == '-' && o->command.empty()) {
      *error = "unknown option " + a;
      return false;
    } else if (o->command.empty()) {
      o->command = a;
    } else {
      // Words that are no option name ("-1" included) are operands.
      o->operands.push_back(a);
    }
  }
  if (!o->help && o->command.empty()) {
    *error = "no command given (see --help)";
    return false;
  }
  return true;
}

std::string module_of_definition_file(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = base.find('.', base.find_first_not_of('.'));
  return dot == std::string::npos ? base : base.substr(0, dot);
}

const char* client_usage() {
  return
      "usage: velmor_client [OPTIONS] COMMAND [OPERANDS...]\n"
      "\n"
      "Calls functions that a Velmord server publishes, as an Excel workbook would,\n"
      "and prints what the server knows about its modules.\n"
      "\n"
      "Commands:\n"
      "  call MODULE FUNCTION [ARG...]  call a published function, thread or stream\n"
      "  describe MODULE FUNCTION       print the declaration the arguments are typed by\n"
      "  modules                        list the loaded modules\n"
      "  formulae MODULE                list the module's formulae (NAME = FORMULA)\n"
      "  generators MODULE              list the module's generator formulae\n"
      "  definitions MODULE             list the declarations the server recorded\n"
      "                                 (KIND~TEXT; 0 record, 1 function, 2 thread, 3 stream)\n"
      "  vba MODULE                     print the generated VBA module (MODULE.bas)\n"
      "  module-file MODULE K           print the K-th file listed under MODULES\n"
      "  stamp MODULE                   print the module's time stamp\n"
      "  stop KEY                       stop a running thread or stream by its key\n"
      "\n"
      "Options:\n"
      "  -H, --host HOST     server host (default 127.0.0.1)\n"
      "  -s, --source ADDR   local address to call from (the server binds each\n"
      "                      client address to a worker of its own)\n"
      "  -p, --port PORT     server port (default 9999)\n"
      "  -d, --defs FILE     definition file to type arguments from; may be repeated,\n"
      "                      the file whose name gives MODULE is used. Without it the\n"
      "                      declarations come from the server (definitions MODULE),\n"
      "                      which has them only when it generated the module's stubs\n"
      "                      at its last start\n"
      "  --stamp TEXT        send TEXT as the module's time stamp instead of the stamp\n"
      "                      of the generated VBA module\n"
      "  -n, --count N       threads and streams: stop after N values\n"
      "  -t, --time SEC      threads and streams: stop after SEC seconds\n"
      "  --timeout SEC       longest wait for any answer of the server (default 30)\n"
      "  -h, --help          this text\n"
      "Options may also follow the command; after \"--\" every word is an operand.\n"
      "\n"
      "Arguments are typed by the function's declaration:\n"
      "  scalar            the text as it stands: 42, 2.5, some text\n"
      "  vector or range   [1,2,6] or 1,2,6; [] (or an empty argument) for none\n"
      "  record            {Ann,24000,5500,350}, members in declaration order\n"
      "  array of records  [{Ann,1,2,3},{Bob,4,5,6}]\n"
      "Inside brackets and braces elements are separated by \",\" and trimmed of\n"
      "blanks; a backslash escapes the next character (\\, \\[ \\] \\{ \\} \\\\ \"\\ \"),\n"
      "\\n and \\t stand for a line feed and a tab; an element's own blanks at its ends\n"
      "are written \"\\ \". Results are printed the same way, numbers with every digit\n"
      "the server sent.\n"
      "\n"
      "Output of call: a plain function prints each outbound parameter as\n"
      "\"NAME = VALUE\", then its result on the last line. A thread or stream prints\n"
      "its key on standard error, then each value as it arrives (outbound parameters\n"
      "first, as above), until the stream ends, the count or the time limit is\n"
      "reached, or the user interrupts; the last two send stop_thread for the key.\n"
      "\n"
      "Exit status: 0 success; 1 an error (printed as one line: no server, unknown\n"
      "module or function, wrong argument count or type...); 2 a bad command line;\n"
      "3 the module is out of date (the server answered _OUT_OF_DATE_); 130 interrupted.\n";
}
