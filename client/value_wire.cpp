#include "value_wire.h"

#include <cstdlib>

namespace {

bool add_unit(const std::string& unit, std::vector<std::string>* units, std::string* error) {
  if (unit.size() > MAX_UNIT_LENGTH) {
    *error = "a value of " + std::to_string(unit.size()) + " characters is longer than " +
             std::to_string(MAX_UNIT_LENGTH);
    return false;
  }
  units->push_back(unit);
  return true;
}

ValueShape element_of(const ValueShape& shape) {
  ValueShape e = shape;
  e.kind = shape.kind == ValueShape::RECORD_ARRAY ? ValueShape::RECORD : ValueShape::SCALAR;
  return e;
}

bool read_array(UnitSource* source, const ValueShape& shape, Value* out, std::string* error) {
  std::string unit;
  if (!source->next(&unit, error)) return false;
  int count = atoi(unit.c_str());
  ValueShape element = element_of(shape);
  out->list = true;
  out->items.clear();
  if (count >= 0) {
    for (int i = 0; i < count; i++) {
      Value v;
      if (!read_value(source, element, &v, error)) return false;
      out->items.push_back(v);
    }
    return true;
  }
  if (count != -1) {
    *error = "bad element count '" + unit + "'";
    return false;
  }
  for (;;) {
    if (!source->next(&unit, error)) return false;
    long index = atol(unit.c_str());
    if (index == -1) return true;
    if (index < 0 || index >= MAX_OPEN_ELEMENTS) {
      *error = "bad element index '" + unit + "'";
      return false;
    }
    Value v;
    if (!read_value(source, element, &v, error)) return false;
    if (out->items.size() <= static_cast<size_t>(index)) out->items.resize(index + 1);
    out->items[index] = v;
  }
}

}  // namespace

bool encode_value(const ValueShape& shape, const Value& value, std::vector<std::string>* units,
                  std::string* error) {
  switch (shape.kind) {
    case ValueShape::SCALAR:
      return add_unit(value.text, units, error);
    case ValueShape::RECORD:
      for (size_t i = 0; i < shape.members.size() && i < value.items.size(); i++)
        if (!encode_value(shape.members[i], value.items[i], units, error)) return false;
      return true;
    case ValueShape::ARRAY:
    case ValueShape::RECORD_ARRAY: {
      if (!add_unit(std::to_string(value.items.size()), units, error)) return false;
      ValueShape element = element_of(shape);
      for (const Value& item : value.items)
        if (!encode_value(element, item, units, error)) return false;
      return true;
    }
  }
  return false;
}

bool read_value(UnitSource* source, const ValueShape& shape, Value* out, std::string* error) {
  switch (shape.kind) {
    case ValueShape::SCALAR: {
      std::string unit;
      if (!source->next(&unit, error)) return false;
      *out = Value::leaf(unit);
      return true;
    }
    case ValueShape::RECORD:
      out->list = true;
      out->items.clear();
      for (const ValueShape& member : shape.members) {
        Value v;
        if (!read_value(source, member, &v, error)) return false;
        out->items.push_back(v);
      }
      return true;
    case ValueShape::ARRAY:
    case ValueShape::RECORD_ARRAY:
      return read_array(source, shape, out, error);
  }
  return false;
}
