#include "value_shape.h"

bool ValueShape::is_integer() const { return type == "int" || type == "long"; }

bool ValueShape::is_numeric() const {
  return is_integer() || type == "float" || type == "double";
}

bool CallSignature::scalar_callback() const {
  return kind != CALL_FUNCTION && result.kind == ValueShape::SCALAR && outbound_count == 0;
}

std::vector<const ValueShape*> CallSignature::outbound_params() const {
  std::vector<const ValueShape*> out;
  for (const ValueShape& p : params)
    if (p.outbound) out.push_back(&p);
  return out;
}

namespace {

std::string shape_text(const ValueShape& s) {
  switch (s.kind) {
    case ValueShape::SCALAR:
    case ValueShape::RECORD:
      return s.type;
    case ValueShape::ARRAY:
    case ValueShape::RECORD_ARRAY:
      return s.type + "[]";
  }
  return s.type;
}

}  // namespace

std::string CallSignature::describe() const {
  static const char* const kKinds[] = {"function", "thread", "stream"};
  std::string text = std::string(kKinds[kind]) + " " + shape_text(result) + " " + name + " (";
  for (size_t i = 0; i < params.size(); i++) {
    if (i > 0) text += ", ";
    text += shape_text(params[i]) + (params[i].outbound ? " &" : " ") + params[i].tag;
  }
  return text + ")";
}
