#include "definition_book.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "externals.h"
#include "prototype_objects.h"
#include "prototype_parser.h"

void DefinitionBook::add(Kind kind, const std::string& text) { entries_.push_back({kind, text}); }

bool DefinitionBook::add_catalogue_line(const std::string& line) {
  size_t tilde = line.find('~');
  if (tilde == std::string::npos || tilde == 0) return false;
  int kind = atoi(line.substr(0, tilde).c_str());
  if (kind < RECORD || kind > STREAM) return false;
  add(static_cast<Kind>(kind), line.substr(tilde + 1));
  return true;
}

namespace {

bool is_gap(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// Splits the file text into words and the marks "{", "}" and ";", dropping the
// comments that start a token.
std::vector<std::string> tokens_of(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (is_gap(c)) {
      i++;
    } else if (c == '{' || c == '}' || c == ';') {
      out.push_back(std::string(1, c));
      i++;
    } else if (text.compare(i, 2, "//") == 0 && text.find('\n', i) != std::string::npos) {
      i = text.find('\n', i) + 1;
    } else {
      size_t j = i;
      while (j < text.size() && !is_gap(text[j]) && !strchr("{};", text[j])) j++;
      out.push_back(text.substr(i, j - i));
      i = j;
    }
  }
  return out;
}

bool section_kind(std::string word, int* kind) {
  for (char& c : word) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  static const std::map<std::string, int> kKinds = {
      {"TYPES", DefinitionBook::RECORD},    {"FUNCTIONS", DefinitionBook::FUNCTION},
      {"THREADS", DefinitionBook::THREAD},  {"STREAMS", DefinitionBook::STREAM},
      {"FORMULAE", -1}, {"FORMULAS", -1}, {"GENERATORS", -1}, {"LIBRARIES", -1}, {"MODULES", -1}};
  auto it = kKinds.find(word);
  if (it == kKinds.end()) return false;
  *kind = it->second;
  return true;
}

// Parses one declaration text; the result lives as long as the process.
ExternDefinition* parse_declaration(const std::string& text, std::string* error) {
  if (text.size() >= FP_TEXT_SIZE) {
    *error = "declaration too long: " + text.substr(0, 60) + "...";
    return nullptr;
  }
  char buffer[FP_TEXT_SIZE];
  snprintf(buffer, sizeof buffer, "%s", text.c_str());
  fp_set_string(buffer);
  if (fp_parse() != 0 || extern_definition_root == nullptr) {
    *error = "cannot parse the declaration '" + text + "'";
    return nullptr;
  }
  return extern_definition_root;
}

bool shape_of(Prototype* p, Llist<ExternDefinition*>* types, int depth, ValueShape* out,
              std::string* error);

ExternDefinition* find_type(Llist<ExternDefinition*>* types, const char* name) {
  for (Llist<ExternDefinition*>* n = types; n; n = n->next)
    if (n->data->NameMatch(name)) return n->data;
  return nullptr;
}

bool shape_of(Prototype* p, Llist<ExternDefinition*>* types, int depth, ValueShape* out,
              std::string* error) {
  out->type = p->GetType();
  out->tag = p->GetTag();
  out->outbound = p->IsOutBound() != 0;
  int dims = p->GetRefCount() + (p->GetContainerType() != CONTAINER_NONE ? 1 : 0);
  if (dims > 1 || p->GetContainerType() == CONTAINER_MATRIX) {
    *error = out->tag + ": values of more than one dimension are not supported by velmor_client";
    return false;
  }
  if (!p->IsUDT()) {
    out->kind = dims == 1 ? ValueShape::ARRAY : ValueShape::SCALAR;
    return true;
  }
  out->kind = dims == 1 ? ValueShape::RECORD_ARRAY : ValueShape::RECORD;
  ExternDefinition* record = find_type(types, p->GetType());
  if (record == nullptr || depth > 8) {
    *error = std::string("record type ") + p->GetType() + " is not declared (or nests too deep)";
    return false;
  }
  for (Llist<Prototype*>* m = record->prototype; m; m = m->next) {
    ValueShape member;
    if (!shape_of(m->data, types, depth + 1, &member, error)) return false;
    out->members.push_back(member);
  }
  return true;
}

}  // namespace

bool DefinitionBook::read_file(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read the definition file " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  int kind = -1;
  bool in_section = false;
  std::string statement;
  for (const std::string& t : tokens_of(text.str())) {
    if (!in_section) {
      if (t == "{") in_section = true;
      else if (!section_kind(t, &kind)) {
        *error = path + ": unexpected '" + t + "' outside a section";
        return false;
      }
    } else if (t == "}") {
      in_section = false;
    } else if (t == ";") {
      if (kind >= 0 && !statement.empty()) add(static_cast<Kind>(kind), statement);
      statement.clear();
    } else {
      statement += (statement.empty() ? "" : " ") + t;
    }
  }
  return true;
}

std::string declared_name(const std::string& text) {
  size_t paren = text.find('(');
  std::string head = text.substr(0, paren);
  size_t end = head.find_last_not_of(" \t");
  if (end == std::string::npos) return "";
  head = head.substr(0, end + 1);
  size_t begin = head.find_last_of(" \t*&>");
  return begin == std::string::npos ? head : head.substr(begin + 1);
}

namespace {

// The declarations one lookup parses, released on every way out of it.
struct ParsedDeclarations {
  Llist<ExternDefinition*>* types = nullptr;
  ExternDefinition* found = nullptr;
  ~ParsedDeclarations() {
    free_declaration(found);
    while (types != nullptr) {
      Llist<ExternDefinition*>* next = types->next;
      free_declaration(types->data);
      delete types;
      types = next;
    }
  }
};

}  // namespace

bool DefinitionBook::lookup(const std::string& name, CallSignature* out, std::string* error) const {
  ParsedDeclarations parsed;
  Llist<ExternDefinition*>*& types = parsed.types;
  const std::pair<Kind, std::string>* found = nullptr;
  for (const auto& e : entries_) {
    if (e.first == RECORD) {
      ExternDefinition* d = parse_declaration(e.second, error);
      if (d == nullptr) return false;
      types = new Llist<ExternDefinition*>(d, types);
    } else if (found == nullptr && declared_name(e.second) == name) {
      found = &e;
    }
  }
  if (found == nullptr) {
    *error = "no declaration of " + name;
    return false;
  }
  ExternDefinition* d = parsed.found = parse_declaration(found->second, error);
  if (d == nullptr) return false;
  d->check_and_set_udt(types);
  for (Llist<ExternDefinition*>* t = types; t; t = t->next) t->data->check_and_set_udt(types);

  CallSignature sig;
  sig.name = d->FunctionName();
  sig.kind = found->first == THREAD ? CALL_THREAD : found->first == STREAM ? CALL_STREAM : CALL_FUNCTION;
  Llist<Prototype*>* params = d->prototype;
  if (sig.kind == CALL_STREAM) {
    if (params == nullptr) {
      *error = "the stream " + name + " has no channel parameter";
      return false;
    }
    if (params->data->IsOutBound()) sig.outbound_count++;
    if (!shape_of(params->data, types, 0, &sig.result, error)) return false;
    sig.result.outbound = false;
    params = params->next;
  } else if (!shape_of(d->return_type, types, 0, &sig.result, error)) {
    return false;
  } else {
    sig.result.outbound = false;
  }
  for (; params; params = params->next) {
    ValueShape p;
    if (!shape_of(params->data, types, 0, &p, error)) return false;
    if (p.outbound) sig.outbound_count++;
    sig.params.push_back(p);
  }
  *out = sig;
  return true;
}
