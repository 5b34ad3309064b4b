// The command-line syntax of values, for arguments and for printed results.
//
//   scalar            the text as it stands: 42, 2.5, hello, world (no escapes)
//   array             [1,2,6] or 1,2,6; [] or the empty text for none
//   record            {Ann,24000,5500,350} (members in declaration order)
//   array of records  [{Ann,1,2,3},{Bob,4,5,6}]
//
// Inside brackets and braces, elements are separated by "," and trimmed of
// blanks; a backslash escapes the next character (\, \[ \] \{ \} \\ and "\ "),
// and \n and \t stand for a line feed and a tab. Blanks at an element's ends
// are kept only escaped, and are printed escaped. Record members that are
// arrays are written in brackets inside the braces. An int or double value
// must be a number; blanks alone are none.
#ifndef VELMOR_CLIENT_VALUE_TEXT_H_
#define VELMOR_CLIENT_VALUE_TEXT_H_

#include <string>
#include <vector>

#include "value_shape.h"

// A value in tree form: a leaf text, or a list (array elements or record members).
struct Value {
  bool list = false;
  std::string text;
  std::vector<Value> items;

  static Value leaf(const std::string& t);
  static Value of(const std::vector<Value>& items);
};

// Parses text as a value of the given shape. On failure returns false and sets
// error to one line naming what is wrong (for instance "'abc' is not a number").
bool parse_value(const ValueShape& shape, const std::string& text, Value* out, std::string* error);

// Writes a value in the syntax above; a top-level scalar is written as it stands.
std::string format_value(const ValueShape& shape, const Value& value);

#endif
