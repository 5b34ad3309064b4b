#include "declaration_check.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "wrapper_reader.h"

namespace {

// Reserved identifiers of VBA: keywords, reserved names and type names. None
// of them may name a function, a parameter or a record member.
const char* const kVbaReserved[] = {
    "abs", "addressof", "and", "any", "array", "as", "attribute", "boolean", "byref", "byte",
    "byval", "call", "case", "cbool", "cbyte", "ccur", "cdate", "cdbl", "cdec", "cint",
    "circle", "clng", "clnglng", "clngptr", "close", "const", "csng", "cstr", "currency",
    "cvar", "cverr", "date", "debug", "declare", "defbool", "defbyte", "defcur", "defdate",
    "defdbl", "defint", "deflng", "deflnglng", "deflngptr", "defobj", "defsng", "defstr",
    "defvar", "dim", "do", "doevents", "double", "each", "else", "elseif", "empty", "end",
    "endif", "enum", "eqv", "erase", "event", "exit", "false", "fix", "for", "friend",
    "function", "get", "global", "gosub", "goto", "if", "imp", "implements", "in", "input",
    "inputb", "int", "integer", "is", "lbound", "len", "lenb", "let", "like", "lock", "long",
    "longlong", "longptr", "loop", "lset", "me", "mod", "new", "next", "not", "nothing",
    "null", "on", "open", "option", "optional", "or", "paramarray", "preserve", "print",
    "private", "pset", "public", "put", "raiseevent", "redim", "rem", "resume", "return",
    "rset", "scale", "seek", "select", "set", "sgn", "shared", "single", "spc", "static",
    "step", "stop", "string", "sub", "tab", "then", "to", "true", "type", "typeof", "ubound",
    "unlock", "until", "variant", "wend", "while", "with", "withevents", "write", "xor"};

// Keywords of C++ and the names the stub source declares through
// wrapper_support.hxx: a record or function of such a name breaks the
// compile of the whole stub library.
const char* const kCppReserved[] = {
    "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break",
    "case", "catch", "char", "char16_t", "char32_t", "class", "compl", "const", "constexpr",
    "const_cast", "continue", "decltype", "default", "delete", "do", "double", "dynamic_cast",
    "else", "enum", "explicit", "export", "extern", "false", "float", "for", "friend", "goto",
    "if", "inline", "int", "long", "mutable", "namespace", "new", "noexcept", "not", "not_eq",
    "nullptr", "operator", "or", "or_eq", "private", "protected", "public", "register",
    "reinterpret_cast", "return", "short", "signed", "sizeof", "static", "static_assert",
    "static_cast", "struct", "switch", "template", "this", "thread_local", "throw", "true",
    "try", "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void",
    "volatile", "wchar_t", "while", "xor", "xor_eq",
    // wrapper_support.hxx and the channel
    "Range", "DoubleRange", "ResultRange", "Matrix", "ExcelChannel", "DataExchange",
    "CallbackInfo", "ClientInfo", "REMFUN", "string", "vector", "std", "qvtx_string",
    "pack_and_send", "receive_and_unpack", "main"};

// Locals and labels of the generated VBA functions of a declaration.
const char* const kVbaLocals[] = {
    "sd", "ret", "res", "unpackroutine", "serverresult", "callertype", "sresup", "rcnt",
    "rcnt1", "argtype", "udtvariant", "udtvariantarray", "qvtx_counter", "status", "result",
    "last", "incon"};

const char* const kBasicTypes[] = {"int", "long", "float", "double", "char", "string", "qvtx_string"};

std::string lower(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

template <size_t N>
bool listed(const char* const (&list)[N], const std::string& word) {
  for (const char* w : list)
    if (word == w) return true;
  return false;
}

// VBA takes a letter first; C a letter or "_". Both: then letters, digits, "_".
bool is_identifier(const char* s) {
  if (!isalpha(static_cast<unsigned char>(s[0]))) return false;
  for (const char* c = s; *c != '\0'; c++)
    if (!isalnum(static_cast<unsigned char>(*c)) && *c != '_') return false;
  return true;
}

struct Decl {
  ExternDefinition* d;
  int kind;  // DEFN_*
  bool left_out;
};

class Checker {
 public:
  explicit Checker(const char* module) {
    const std::string m = module;
    const std::string fixed[] = {"QVTX_UBound", "last_updated_time", "Host", "Port",
                                 "GetLastUpdatedTime_" + m, "GetHost_" + m, "GetPort_" + m};
    for (const std::string& f : fixed) taken_[lower(f)] = "the module's own " + f;
  }

  // Names, types and module-level names of one declaration, in file order.
  std::string fault(const Decl& x) {
    std::string why = name_fault(x.d->name);
    if (!why.empty()) return why;
    why = x.kind == DEFN_TYPE ? member_faults(x.d) : parameter_faults(x);
    if (!why.empty()) return why;
    return claim_module_names(x);
  }

  // The tags of a declaration against the module's final names.
  std::string tag_faults(const Decl& x) {
    if (x.kind == DEFN_TYPE) return "";
    std::set<std::string> tags;
    for (Llist<Prototype*>* n = x.d->prototype; n != nullptr; n = n->next) tags.insert(lower(n->data->GetTag()));
    for (Llist<Prototype*>* n = x.d->prototype; n != nullptr; n = n->next) {
      std::string tag = lower(n->data->GetTag());
      std::string what = std::string("parameter '") + n->data->GetTag() + "'";
      if (listed(kVbaLocals, tag) || tag == lower(x.d->name) + "_result" || is_result_slot(tag))
        return what + " clashes with a local name of the generated VBA function";
      if (tag.compare(0, 2, "l_") == 0 && tags.count(tag.substr(2)))
        return what + " clashes with the local copy of parameter '" + tag.substr(2) + "'";
      auto owner = taken_.find(tag);
      if (owner != taken_.end()) return what + " clashes with " + owner->second;
    }
    return "";
  }

  void accept_record(ExternDefinition* d) { records_.push_back(d->name); }

 private:
  static bool is_result_slot(const std::string& tag) {
    if (tag.compare(0, 7, "result_") != 0 || tag.size() == 7) return false;
    return tag.find_first_not_of("0123456789", 7) == std::string::npos;
  }

  static std::string name_fault(const char* name) {
    std::string n = name;
    if (!is_identifier(name))
      return "its name '" + n + "' is not an identifier (a letter, then letters, digits or '_')";
    if (listed(kVbaReserved, lower(n))) return "its name '" + n + "' is a reserved word of VBA";
    if (listed(kCppReserved, n)) return "its name '" + n + "' is reserved in the C++ stub source";
    return "";
  }

  static std::string tag_name_fault(const std::string& what, const char* tag) {
    if (!is_identifier(tag)) return what + " is not an identifier (a letter, then letters, digits or '_')";
    if (listed(kVbaReserved, lower(tag))) return what + " is a reserved word of VBA";
    return "";
  }

  bool known_type(const char* type) const {
    if (listed(kBasicTypes, type)) return true;
    return std::find(records_.begin(), records_.end(), type) != records_.end();
  }

  std::string type_fault(const std::string& what, Prototype* p, const char* records) const {
    if (known_type(p->GetType())) return "";
    return std::string("unknown type '") + p->GetType() + "' of " + what +
           " (neither a basic type nor " + records + ")";
  }

  // Members of a record: they become members of a C++ class and of a VBA Type.
  std::string member_faults(ExternDefinition* d) const {
    std::set<std::string> seen;
    std::set<std::string> names;
    for (Llist<Prototype*>* n = d->prototype; n != nullptr; n = n->next) names.insert(n->data->GetTag());
    for (Llist<Prototype*>* n = d->prototype; n != nullptr; n = n->next) {
      Prototype* m = n->data;
      std::string tag = m->GetTag();
      std::string what = "member '" + tag + "'";
      std::string why = tag_name_fault(what, m->GetTag());
      if (!why.empty()) return why;
      if (listed(kCppReserved, tag)) return what + " is reserved in the C++ stub source";
      if (!seen.insert(lower(tag)).second) return what + " repeats an earlier member";
      if (tag == "de" || tag == d->name) return what + " clashes with a name of the record's C++ class";
      for (const char* prefix : {"range_", "p_range_"}) {
        size_t len = strlen(prefix);
        if (tag.compare(0, len, prefix) == 0 && names.count(tag.substr(len)))
          return what + " clashes with the range holder of member '" + tag.substr(len) + "'";
      }
      why = type_fault(what, m, "a record type declared before it");
      if (!why.empty()) return why;
    }
    return "";
  }

  std::string parameter_faults(const Decl& x) const {
    if (x.kind == DEFN_LIVE_THREAD && x.d->prototype == nullptr)
      return "a stream needs its ExcelChannel parameter first";
    std::set<std::string> seen;
    for (Llist<Prototype*>* n = x.d->prototype; n != nullptr; n = n->next) {
      Prototype* p = n->data;
      std::string what = std::string("parameter '") + p->GetTag() + "'";
      std::string why = tag_name_fault(what, p->GetTag());
      if (!why.empty()) return why;
      if (!seen.insert(lower(p->GetTag())).second) return what + " repeats an earlier parameter name";
      why = type_fault(what, p, "a declared record type");
      if (!why.empty()) return why;
    }
    return type_fault("its result", x.d->return_type, "a declared record type");
  }

  // Functions and types each name the module defines for the declaration.
  std::string claim_module_names(const Decl& x) {
    std::string n = x.d->name;
    std::vector<std::string> names;
    if (x.kind == DEFN_TYPE)
      names = {n, n + "_Array", "Pack_And_Send_" + n, "Pack_And_Send_" + n + "_Array",
               "Receive_And_Unpack_" + n, "Receive_And_Unpack_" + n + "_Array"};
    else
      names = {n, "pri_" + n, "rec_" + n, n + "_type", "EC_" + n};
    for (const std::string& name : names) {
      auto owner = taken_.find(lower(name));
      if (owner != taken_.end()) return "the name '" + name + "' it needs clashes with " + owner->second;
    }
    for (const std::string& name : names) taken_[lower(name)] = "'" + name + "' of " + n;
    return "";
  }

  std::map<std::string, std::string> taken_;  // lower-case name -> its owner, for messages
  std::vector<std::string> records_;          // accepted record types, exact names
};

void collect(std::vector<Decl>* all, Llist<ExternDefinition*>* list, int kind) {
  for (; list != nullptr; list = list->next) all->push_back(Decl{list->data, kind, false});
}

// The list without the declarations left out, in its own order.
void drop_left_out(Llist<ExternDefinition*>** list, const std::set<ExternDefinition*>& out) {
  Llist<ExternDefinition*>** link = list;
  while (*link != nullptr) {
    if (out.count((*link)->data))
      *link = (*link)->next;  // the node, like every declaration, is never freed
    else
      link = &(*link)->next;
  }
}

}  // namespace

int leave_out_faulty_declarations(const char* file, const char* module) {
  std::vector<Decl> all;
  collect(&all, wp_ltype, DEFN_TYPE);
  collect(&all, wp_llive_thread, DEFN_LIVE_THREAD);
  collect(&all, wp_lthread, DEFN_THREAD);
  collect(&all, wp_lfun, DEFN_FUNCTION);
  // Record types first, as the generated files have them, each kind in file
  // order: of two clashing declarations the later one goes.
  std::stable_sort(all.begin(), all.end(), [](const Decl& a, const Decl& b) {
    bool a_type = a.kind == DEFN_TYPE, b_type = b.kind == DEFN_TYPE;
    if (a_type != b_type) return a_type;
    return a.d->source_line < b.d->source_line;
  });
  Checker checker(module);
  std::set<ExternDefinition*> out;
  auto leave_out = [&](Decl& x, const std::string& why) {
    x.left_out = true;
    out.insert(x.d);
    fprintf(stderr, "%s:%d: %s is left out of the generated files: %s\n", file, x.d->source_line,
            x.d->name, why.c_str());
  };
  for (Decl& x : all) {
    std::string why = checker.fault(x);
    if (!why.empty())
      leave_out(x, why);
    else if (x.kind == DEFN_TYPE)
      checker.accept_record(x.d);
  }
  for (Decl& x : all) {
    if (x.left_out) continue;
    std::string why = checker.tag_faults(x);
    if (!why.empty()) leave_out(x, why);
  }
  drop_left_out(&wp_ltype, out);
  drop_left_out(&wp_llive_thread, out);
  drop_left_out(&wp_lthread, out);
  drop_left_out(&wp_lfun, out);
  return static_cast<int>(out.size());
}
