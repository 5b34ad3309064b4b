// How one argument, outbound value or result travels on a call's connection,
// derived from its declaration: a scalar is one unit; an array is a count and
// then its elements (or the open form: -1, then index/element pairs ended by the
// index -1); a record is its members in declaration order.
#ifndef VELMOR_CLIENT_VALUE_SHAPE_H_
#define VELMOR_CLIENT_VALUE_SHAPE_H_

#include <string>
#include <vector>

struct ValueShape {
  enum Kind { SCALAR, ARRAY, RECORD, RECORD_ARRAY };

  Kind kind = SCALAR;
  std::string type;                // basic type ("int", "double", "qvtx_string"...) or record name
  std::string tag;                 // parameter or member name
  bool outbound = false;           // travels back after the call
  std::vector<ValueShape> members; // record members (RECORD and RECORD_ARRAY)

  bool is_numeric() const;         // int, long, float, double
  bool is_integer() const;         // int, long
};

enum CallKind { CALL_FUNCTION = 0, CALL_THREAD = 1, CALL_STREAM = 2 };

// A callable declaration as the client needs it.
struct CallSignature {
  std::string name;
  CallKind kind = CALL_FUNCTION;
  std::vector<ValueShape> params;  // what the caller sends (a stream's channel excluded)
  ValueShape result;               // the function's or thread's result, or the stream's channel value
  int outbound_count = 0;          // outbound parameters, a stream's channel included

  // Values come by the client's stream connection, one line each, rather than on
  // a connection per delivery: a basic result (or channel value) and nothing outbound.
  bool scalar_callback() const;
  // Outbound parameters in declaration order.
  std::vector<const ValueShape*> outbound_params() const;
  // One line such as "double range_average (VECTOR<double> values)", for messages.
  std::string describe() const;
};

#endif
