#include "value_text.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

Value Value::leaf(const std::string& t) {
  Value v;
  v.text = t;
  return v;
}

Value Value::of(const std::vector<Value>& items) {
  Value v;
  v.list = true;
  v.items = items;
  return v;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// True when the character at i is escaped: an odd run of backslashes before
// it ("a\\ " ends in an escaped backslash and a plain blank).
bool is_escaped(const std::string& s, size_t i) {
  size_t backslashes = 0;
  while (i > backslashes && s[i - 1 - backslashes] == '\\') backslashes++;
  return backslashes % 2 == 1;
}

// Blanks at both ends, except an escaped one at the end.
std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) b++;
  while (e > b && is_blank(s[e - 1]) && !is_escaped(s, e - 1)) e--;
  return s.substr(b, e - b);
}

std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    char c = s[++i];
    out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
  }
  return out;
}

// The reading above trims an element's blanks, so blanks at its ends are
// escaped to come back.
std::string escape(const std::string& s) {
  std::string out;
  size_t first = s.find_first_not_of(' ');
  size_t last = s.find_last_not_of(' ');
  for (size_t i = 0; i < s.size(); i++) {
    char c = s[i];
    if (c == ' ' && (first == std::string::npos || i < first || i > last)) {
      out += "\\ ";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      if (c == ',' || c == '\\' || c == '[' || c == ']' || c == '{' || c == '}') out += '\\';
      out += c;
    }
  }
  return out;
}

// If text is wrapped in open..close (the closing one unescaped), sets inner and returns true.
bool unwrap(const std::string& text, char open, char close, std::string* inner) {
  if (text.size() < 2 || text[0] != open || text.back() != close) return false;
  if (is_escaped(text, text.size() - 1)) return false;
  *inner = text.substr(1, text.size() - 2);
  return true;
}

// Splits at the commas that lie outside nested brackets and braces.
bool split_top_level(const std::string& text, std::vector<std::string>* parts, std::string* error) {
  parts->clear();
  if (trim(text).empty()) return true;
  std::string current;
  int depth = 0;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      current += c;
      current += text[++i];
      continue;
    }
    if (c == '[' || c == '{') depth++;
    if (c == ']' || c == '}') depth--;
    if (depth < 0) {
      *error = "unbalanced '" + std::string(1, c) + "' in '" + text + "'";
      return false;
    }
    if (c == ',' && depth == 0) {
      parts->push_back(trim(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (depth != 0) {
    *error = "unclosed bracket or brace in '" + text + "'";
    return false;
  }
  parts->push_back(trim(current));
  return true;
}

bool check_scalar(const ValueShape& shape, const std::string& text, std::string* error) {
  if (!shape.is_numeric()) return true;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  // Out of range: too large, or too small to be anything but 0. A number
  // below the normal range that is still held exactly (5e-324) is fine.
  bool out_of_range;
  if (shape.is_integer()) {
    // The server reads an int with atoi: a larger number would arrive as another.
    long v = strtol(begin, &end, 10);
    out_of_range = errno == ERANGE || (shape.type == "int" && (v < INT_MIN || v > INT_MAX));
  } else if (shape.type == "float") {
    float f = strtof(begin, &end);
    out_of_range = errno == ERANGE && (f == 0 || std::isinf(f));
  } else {
    double d = strtod(begin, &end);
    out_of_range = errno == ERANGE && (d == 0 || std::isinf(d));
  }
  // No number read (a text of blanks only among them): end stays at begin.
  bool converted = end != nullptr && end != begin;
  while (converted && is_blank(*end)) end++;
  if (!converted || *end != '\0') {
    *error = "'" + text + "' is not " + (shape.is_integer() ? "a whole number" : "a number");
    return false;
  }
  if (out_of_range) {
    *error = "'" + text + "' is out of range";
    return false;
  }
  return true;
}

ValueShape element_shape(const ValueShape& shape) {
  ValueShape e = shape;
  e.kind = shape.kind == ValueShape::RECORD_ARRAY ? ValueShape::RECORD : ValueShape::SCALAR;
  return e;
}

bool parse_nested(const ValueShape& shape, const std::string& text, Value* out, std::string* error);

bool parse_list(const ValueShape& shape, const std::string& text, Value* out, std::string* error) {
  std::string inner = text;
  unwrap(trim(text), '[', ']', &inner);
  std::vector<std::string> parts;
  if (!split_top_level(inner, &parts, error)) return false;
  ValueShape element = element_shape(shape);
  out->list = true;
  out->items.clear();
  for (const std::string& part : parts) {
    Value v;
    if (!parse_nested(element, part, &v, error)) return false;
    out->items.push_back(v);
  }
  return true;
}

bool parse_record(const ValueShape& shape, const std::string& text, Value* out, std::string* error) {
  std::string inner = text;
  unwrap(trim(text), '{', '}', &inner);
  std::vector<std::string> parts;
  if (!split_top_level(inner, &parts, error)) return false;
  if (parts.size() != shape.members.size()) {
    *error = shape.type + " has " + std::to_string(shape.members.size()) + " members, '" + text +
             "' gives " + std::to_string(parts.size());
    return false;
  }
  out->list = true;
  out->items.clear();
  for (size_t i = 0; i < parts.size(); i++) {
    Value v;
    if (!parse_nested(shape.members[i], parts[i], &v, error)) {
      *error = shape.type + "." + shape.members[i].tag + ": " + *error;
      return false;
    }
    out->items.push_back(v);
  }
  return true;
}

// A value inside a list or record: scalars are unescaped, records need braces.
bool parse_nested(const ValueShape& shape, const std::string& text, Value* out, std::string* error) {
  switch (shape.kind) {
    case ValueShape::SCALAR:
      *out = Value::leaf(unescape(text));
      return check_scalar(shape, out->text, error);
    case ValueShape::RECORD: {
      std::string inner;
      if (!unwrap(text, '{', '}', &inner)) {
        *error = "a " + shape.type + " record is written in braces: '" + text + "'";
        return false;
      }
      return parse_record(shape, text, out, error);
    }
    case ValueShape::ARRAY:
    case ValueShape::RECORD_ARRAY: {
      std::string inner;
      if (!unwrap(text, '[', ']', &inner)) {
        *error = "an array inside a record is written in brackets: '" + text + "'";
        return false;
      }
      return parse_list(shape, text, out, error);
    }
  }
  return false;
}

std::string format_nested(const ValueShape& shape, const Value& value) {
  if (shape.kind == ValueShape::SCALAR) return escape(value.text);
  bool is_record = shape.kind == ValueShape::RECORD;
  std::string text = is_record ? "{" : "[";
  ValueShape element = element_shape(shape);
  for (size_t i = 0; i < value.items.size(); i++) {
    if (i > 0) text += ",";
    if (is_record)
      text += i < shape.members.size() ? format_nested(shape.members[i], value.items[i])
                                       : escape(value.items[i].text);
    else
      text += format_nested(element, value.items[i]);
  }
  return text + (is_record ? "}" : "]");
}

}  // namespace

bool parse_value(const ValueShape& shape, const std::string& text, Value* out, std::string* error) {
  switch (shape.kind) {
    case ValueShape::SCALAR:
      *out = Value::leaf(text);
      return check_scalar(shape, text, error);
    case ValueShape::RECORD:
      return parse_record(shape, text, out, error);
    case ValueShape::ARRAY:
    case ValueShape::RECORD_ARRAY:
      return parse_list(shape, text, out, error);
  }
  return false;
}

std::string format_value(const ValueShape& shape, const Value& value) {
  if (shape.kind == ValueShape::SCALAR) return value.text;
  return format_nested(shape, value);
}
