// Values on a call's connection: the units the client sends for an argument,
// and the reading of outbound values and results unit by unit.
#ifndef VELMOR_CLIENT_VALUE_WIRE_H_
#define VELMOR_CLIENT_VALUE_WIRE_H_

#include <string>
#include <vector>

#include "value_shape.h"
#include "value_text.h"

// Longest unit the server keeps whole (its line buffer holds 1023 characters).
enum { MAX_UNIT_LENGTH = 1023 };

// The units of one argument in sending order: a scalar is one unit, an array
// its count and its elements, a record its members. Fails (with error set)
// when a unit would be cut by the server.
bool encode_value(const ValueShape& shape, const Value& value, std::vector<std::string>* units,
                  std::string* error);

// Where received units come from: next() takes one unit and acknowledges it.
class UnitSource {
 public:
  virtual ~UnitSource() = default;
  virtual bool next(std::string* unit, std::string* error) = 0;
};

// Reads one value of the given shape. An array comes as its count and the
// elements, or in the open form: -1, then pairs of index and element until the
// index -1. Gives up on a negative count other than -1, on an index below 0 or
// beyond MAX_OPEN_ELEMENTS, and on a lost connection.
enum { MAX_OPEN_ELEMENTS = 1000000 };
bool read_value(UnitSource* source, const ValueShape& shape, Value* out, std::string* error);

#endif
