// Resolution: expand the named formulae a macro uses, put the worksheet cells
// of its terms in their place, and write the result as a worksheet formula.
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "df_analysis.h"

static const size_t kMaxResolveBookLength = 251;
static const size_t kGeneratorSuffixLength = 5;
static const int kReferenceSize = 10;
// A cyclic set of entries would expand for ever, so expansion gives up past
// these bounds (far beyond any formula a worksheet accepts).
static const int kMaxExpansionPasses = 1000;
static const int kMaxResolvedNodes = 10000;

static char resolve_book[kMaxResolveBookLength + 1];

static int begins_with_letter(const std::string& text) {
  return !text.empty() && isalpha(static_cast<unsigned char>(text[0]));
}

static const char* without_hash(const std::string& text) {
  return text.c_str() + (text[0] == '#' ? 1 : 0);
}

static int node_count(const Expression* node, int limit) {
  int count = 1;
  for (const Expression* child : node->parameters) {
    if (count > limit) break;
    count += node_count(child, limit - count);
  }
  return count;
}

Expression* term_replace(Expression* node, LocalEnv* environment) {
  if (node == nullptr || environment == nullptr) return node;
  Expression* argument = environment->find_in_scope(node->operator_name.c_str());
  if (argument != nullptr) {
    Expression* copy = argument->Create_a_copy();
    delete node;
    return copy;
  }
  for (Expression*& child : node->parameters) child = term_replace(child, environment);
  return node;
}

Expression* term_expand(const char* book, Expression* node, int* count) {
  if (node == nullptr) return node;
  SymbolEntry* entry = get_symbol(book, node->operator_name.c_str());
  if (entry != nullptr && entry->expression != nullptr) {
    (*count)++;
    Expression* copy = entry->expression->Create_a_copy();
    SetFlag(copy, EXPRESSION_PARENTHESISED);
    entry->SetScope(&node->parameters);
    copy = term_replace(copy, entry->GetEnv());
    entry->SetScope(nullptr);
    delete node;
    return copy;
  }
  for (Expression*& child : node->parameters) {
    if (*count != 0) break;
    child = term_expand(book, child, count);
  }
  return node;
}

// The reference of a located term: a range for a "#" term, else one cell.
static std::string located_reference(const Expression* node, const LocationList* location,
                                     const char* context) {
  if (node->operator_name[0] == '#') {
    if (begins_with_letter(location->column)) {
      return location->column + location->beginRange + ":" + location->column + location->endRange;
    }
    return location->beginRange + location->column + ":" + location->endRange + location->column;
  }
  if (isalpha(static_cast<unsigned char>(context[0]))) return context + location->column;
  return location->column + context;
}

void term_match(Expression* node, const RangeList* locations, const char* context) {
  if (node == nullptr || locations == nullptr) return;
  for (const LocationList* location : *locations) {
    if (!node->Match(location->expression)) continue;
    node->operator_name = located_reference(node, location, context);
    for (Expression* child : node->parameters) delete child;
    node->parameters.clear();
    return;
  }
  for (Expression* child : node->parameters) term_match(child, locations, context);
}

static int same_arguments(const Expression* node, const Expression* term) {
  if (node->parameters.size() != term->parameters.size()) return 0;
  auto theirs = term->parameters.begin();
  for (const Expression* mine : node->parameters) {
    if (strcasecmp(mine->operator_name.c_str(), (*theirs++)->operator_name.c_str()) != 0) return 0;
  }
  return 1;
}

const char* find_column(const Expression* node, const RangeList* locations, const char* context) {
  static char reference[kReferenceSize];
  if (node == nullptr || locations == nullptr || node->operator_name.empty()) return nullptr;
  if (context == nullptr) context = "";
  int range = node->operator_name[0] == '#';
  for (const LocationList* location : *locations) {
    const Expression* term = location->expression;
    if (term->operator_name.empty()) continue;
    if (strcasecmp(without_hash(node->operator_name), without_hash(term->operator_name)) != 0) continue;
    if (!range && !same_arguments(node, term)) continue;
    std::string text;
    if (range) {
      text = located_reference(node, location, context);
    } else if (begins_with_letter(location->column)) {
      text = location->column + context;
    } else {
      text = context + location->column;
    }
    if (text.size() >= sizeof(reference)) {
      fprintf(stderr, "Reference '%s' of '%s' is longer than %d characters.\n", text.c_str(),
              node->operator_name.c_str(), kReferenceSize - 1);
      return nullptr;
    }
    snprintf(reference, sizeof(reference), "%s", text.c_str());
    return reference;
  }
  return nullptr;
}

void rewrite(const char* book, const Expression* node, const char* context, const RangeList* locations) {
  const std::string& op = node->operator_name;
  auto child = node->parameters.begin();
  auto end = node->parameters.end();
  if (!(node->operator_flag & EXPRESSION_OPERATOR)) {
    rewritten_string += this_work_book(op.c_str()) ? book : op.c_str();
    if (child == end) return;
    rewritten_string += "(";
    for (; child != end; ++child) {
      if (child != node->parameters.begin()) rewritten_string += ",";
      rewrite(book, *child, context, locations);
    }
    rewritten_string += ")";
    return;
  }
  int bracketed = op == "[]";
  int parenthesised = !bracketed && op != "|" && op != "!" && (node->operator_flag & EXPRESSION_PARENTHESISED);
  rewritten_string += bracketed ? "[" : parenthesised ? "(" : "";
  if (child != end) rewrite(book, *child++, context, locations);
  rewritten_string += bracketed ? "]" : op.c_str();
  if (child != end) rewrite(book, *child, context, locations);
  if (parenthesised) rewritten_string += ")";
}

static void check_resolve_arguments(const char* book, const char* macro, const char* context,
                                    const RangeList* locations, const char* operation) {
  if (book == nullptr || macro == nullptr || context == nullptr || locations == nullptr || locations->empty()) {
    throw Exception(DF_ARGUMENT_MISSING, "df_resolve", operation, __LINE__);
  }
  if (strlen(book) > kMaxResolveBookLength) {
    throw Exception(DF_BOOK_NAME_TOO_LONG, "df_resolve", operation, __LINE__);
  }
}

// A generator call leaves the macro as it is unless the entry it names is
// known and every input of it can be located.
static int generator_call_resolvable(const char* book, const char* macro, const RangeList* locations) {
  if (get_symbol(book, macro) == nullptr) return 0;
  Expression* tree = StringToMacroExpression(macro);
  int present = tree != nullptr && check_all_input_present(book, tree, locations);
  delete tree;
  return present;
}

std::string resolve_an_entry(const char* book, const char* macro, const char* context,
                             const RangeList* locations) {
  rewritten_string.clear();
  if (book == nullptr || macro == nullptr) return rewritten_string;
  if (context == nullptr) context = "";
  Expression* tree = StringToMacroExpression(macro);
  if (tree == nullptr) {
    rewritten_string = macro;
    return rewritten_string;
  }
  int count = 0;
  tree = term_expand(book, tree, &count);
  tree->operator_flag &= ~EXPRESSION_PARENTHESISED;

  SymbolEntry* entry = get_symbol(book, tree->operator_name.c_str());
  if (entry == nullptr || entry->expression != nullptr) {
    for (int passes = 1;; passes++) {
      count = 0;
      term_match(tree, locations, context);
      tree = term_expand(book, tree, &count);
      if (count == 0) break;
      if (passes > kMaxExpansionPasses || node_count(tree, kMaxResolvedNodes) > kMaxResolvedNodes) {
        fprintf(stderr, "Resolving '%s' in book %s does not end (cyclic formulae?), left unresolved.\n", macro,
                book);
        delete tree;
        rewritten_string = macro;
        return rewritten_string;
      }
    }
  }
  rewrite(book, tree, context, locations);
  delete tree;
  return rewritten_string;
}

std::string start_resolve_an_entry(const char* book, const char* macro, const char* context,
                                   const RangeList* locations) {
  check_resolve_arguments(book, macro, context, locations, "start_resolve_an_entry");
  rewritten_string.clear();
  size_t length = strlen(book);
  int generator = length > kGeneratorSuffixLength &&
                  strcasecmp(book + length - kGeneratorSuffixLength, "_GEN_") == 0;
  if (generator) length -= kGeneratorSuffixLength;
  snprintf(resolve_book, sizeof(resolve_book), "%.*s", static_cast<int>(length), book);

  int unchanged;
  if (generator) {
    unchanged = !generator_call_resolvable(resolve_book, macro, locations);
  } else {
    SymbolEntry* entry = get_symbol(resolve_book, macro);
    unchanged = entry != nullptr && (entry->flag & ENTRY_GENERATOR);
  }
  if (unchanged) {
    rewritten_string = macro;
    return rewritten_string;
  }
  return resolve_an_entry(resolve_book, macro, context, locations);
}

std::string start_resolve_a_validator(const char* book, const char* macro, const char* context,
                                      const RangeList* locations) {
  check_resolve_arguments(book, macro, context, locations, "start_resolve_a_validator");
  rewritten_string.clear();
  return resolve_an_entry(book, macro, context, locations);
}
