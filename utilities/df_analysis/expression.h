// The parsed form of a worksheet formula or a macro: a tree of Expression
// nodes.  A node owns its children; deleting a node deletes its subtree.
#ifndef VELMOR_DF_ANALYSIS_EXPRESSION_H_
#define VELMOR_DF_ANALYSIS_EXPRESSION_H_

#include <list>
#include <string>

class Expression;
typedef std::list<Expression*> ExpressionList;

// Bits of Expression::operator_flag.
enum {
  EXPRESSION_OPERATOR = 1,       // children are the operands
  EXPRESSION_PARENTHESISED = 2,  // written in parentheses, or the name of a call
  EXPRESSION_FORMAL = 4,         // a formal parameter of the entry holding the tree
};

class Expression {
 public:
  std::string operator_name;   // operator, or the token exactly as lexed
  unsigned char operator_flag;
  ExpressionList parameters;   // owned

  Expression(const char* text, int flag);
  ~Expression();
  Expression(const Expression&) = delete;
  Expression& operator=(const Expression&) = delete;

  // Takes the nodes of `list` as the children and deletes the list object.
  void SetParameters(ExpressionList* list);
  Expression* Create_a_copy() const;
  // 1 when this node's text (one leading "#" ignored) equals other's text,
  // case-insensitive, and either this node has no children or both have
  // the same number of children matching pairwise; else 0.
  int Match(const Expression* other) const;
  // Diagnostic dump to standard output.
  void print() const;
};

// Tree construction, used by the grammars.  Allocation failure throws
// Exception 5003.
Expression* CreateExpression(const char* text, int flag);
void SetFlag(Expression* node, int flag);
// Puts `node` at the front of `list` (a new list when `list` is null).
ExpressionList* AppendParameters(Expression* node, ExpressionList* list);
Expression* CompleteExpression(Expression* node, ExpressionList* list);
// Deletes the nodes of `list` and the list itself.
void DeleteExpressionList(ExpressionList* list);

// Replaces the text of every node whose text equals (case-insensitive) one of
// the null-terminated `names` by `replacement`.
void macro_expand(Expression* node, const char* const* names, const char* replacement);

#endif
