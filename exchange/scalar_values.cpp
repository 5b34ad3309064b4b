// Scalar values on the channel: their texts, and the route of one unit by
// service type.
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "data_exchange.h"

namespace {

// Formats one value into the unit buffer: `plain` as it is for a plain value,
// `number` behind the key for a scalar stream or thread value.
void format_unit(DataExchange* de, const char* plain, const char* number) {
  char* out = de->get_buffer();
  int n;
  switch (de->GetReturnType()) {
    case RETURN_SCALAR_STREAM:
      n = snprintf(out, UNIT_DATA_SIZE, "#STREAM_%s=%s", de->GetFunctionKey(), number);
      break;
    case RETURN_SCALAR_THREAD:
      n = snprintf(out, UNIT_DATA_SIZE, "#THREAD_%s=%s", de->GetFunctionKey(), number);
      break;
    default:
      n = snprintf(out, UNIT_DATA_SIZE, "%s", plain);
      break;
  }
  if (n >= UNIT_DATA_SIZE)
    fprintf(stderr, "WARNING: value text cut to %d characters\n", UNIT_DATA_SIZE - 1);
}

int send_unit_by_service(DataExchange* de, const char* plain, const char* number) {
  switch (de->GetDataServiceType()) {
    case SOCKET_SERVICE:
      format_unit(de, plain, number);
      return de->send_data(1);
    case PVM_SLAVE_SERVICE:
      format_unit(de, plain, number);
      return de->PvmSend(de->get_buffer());
    case PVM_PROXY_SERVICE:
      // The worker computed the value; pass its text on unchanged.
      de->PvmReceive();
      return de->send_data(1);
  }
  return 0;
}

// The text of the next value for this stub, by service type.
const char* receive_unit_by_service(DataExchange* de) {
  switch (de->GetDataServiceType()) {
    case SOCKET_SERVICE:
      return de->receive_data(1);
    case PVM_SLAVE_SERVICE:
      return de->PvmReceive();
    case PVM_PROXY_SERVICE: {
      char* text = de->receive_data(1);
      // A client that left mid-call: the worker abandons the call too.
      if (de->conversation_over)
        de->PvmAbandonCall();
      else
        de->PvmSend(text);
      return text;
    }
  }
  de->get_buffer()[0] = '\0';
  return de->get_buffer();
}

enum { NUMBER_SIZE = UNIT_DATA_SIZE };

// The shortest text that reads back to exactly this value: a worksheet sums,
// compares and charts what arrives, so no digit may be lost on the way.
// Independent of the process's locale.
template <class T>
void shortest_text(T value, char* out, size_t size) {
  std::to_chars_result r = std::to_chars(out, out + size - 1, value);
  *r.ptr = '\0';
}

// Received numbers are read as strtod reads them (leading blanks, a sign,
// decimal or hexadecimal, infinities; the rest after the number ignored; no
// number gives 0) but always with "." as the decimal point: a user library
// may set the process's locale, and "0.5" must stay one half.
locale_t c_numeric_locale() {
  static locale_t c = newlocale(LC_NUMERIC_MASK, "C", (locale_t)0);
  return c;
}

}  // namespace

int pack_and_send(DataExchange* de, const std::string& value, int) {
  call_safe_point();
  return send_unit_by_service(de, value.c_str(), value.c_str());
}

int pack_and_send(DataExchange* de, const char*& value, int) {
  call_safe_point();
  const char* text = value == nullptr ? "" : value;
  return send_unit_by_service(de, text, text);
}

int pack_and_send(DataExchange* de, char*& value, int) {
  call_safe_point();
  const char* text = value == nullptr ? "" : value;
  return send_unit_by_service(de, text, text);
}

int pack_and_send(DataExchange* de, char* const& value, int) {
  call_safe_point();
  const char* text = value == nullptr ? "" : value;
  return send_unit_by_service(de, text, text);
}

int pack_and_send(DataExchange* de, const char* const& value, int) {
  call_safe_point();
  const char* text = value == nullptr ? "" : value;
  return send_unit_by_service(de, text, text);
}

// The number texts live in these frames, apart from the safe point (see
// call_safe_point).
__attribute__((noinline)) static int send_double(DataExchange* de, double value) {
  char number[NUMBER_SIZE];
  shortest_text(value, number, sizeof(number));
  return send_unit_by_service(de, number, number);
}

// Written as a float, not widened: 1.5e-8f goes out as "1.5e-08", which
// reads back as the same float.
__attribute__((noinline)) static int send_float(DataExchange* de, float value) {
  char number[NUMBER_SIZE];
  shortest_text(value, number, sizeof(number));
  return send_unit_by_service(de, number, number);
}

__attribute__((noinline)) static int send_long(DataExchange* de, long value) {
  char number[NUMBER_SIZE];
  snprintf(number, sizeof(number), "%ld", value);
  return send_unit_by_service(de, number, number);
}

int pack_and_send(DataExchange* de, const double& value, int) {
  call_safe_point();
  return send_double(de, value);
}

int pack_and_send(DataExchange* de, const float& value, int) {
  call_safe_point();
  return send_float(de, value);
}

int pack_and_send(DataExchange* de, const long& value, int) {
  call_safe_point();
  return send_long(de, value);
}

int pack_and_send(DataExchange* de, const int& value, int) {
  call_safe_point();
  return send_long(de, value);
}

// One character each way; '\0' is the empty text.
__attribute__((noinline)) static int send_char(DataExchange* de, char value) {
  char text[2] = {value, '\0'};
  return send_unit_by_service(de, text, text);
}

int pack_and_send(DataExchange* de, const char& value, int) {
  call_safe_point();
  return send_char(de, value);
}

int receive_and_unpack(DataExchange* de, char& value, int) {
  value = receive_unit_by_service(de)[0];
  return 1;
}

int receive_and_unpack(DataExchange* de, std::string& value, int) {
  value = receive_unit_by_service(de);
  return 1;
}

int receive_and_unpack(DataExchange* de, char*& value, int) {
  value = strdup(receive_unit_by_service(de));
  return 1;
}

int receive_and_unpack(DataExchange* de, double& value, int) {
  value = strtod_l(receive_unit_by_service(de), nullptr, c_numeric_locale());
  return 1;
}

int receive_and_unpack(DataExchange* de, float& value, int) {
  // Read as a float directly: through a double, a text could round twice.
  value = strtof_l(receive_unit_by_service(de), nullptr, c_numeric_locale());
  return 1;
}

int receive_and_unpack(DataExchange* de, long& value, int) {
  value = atol(receive_unit_by_service(de));
  return 1;
}

int receive_and_unpack(DataExchange* de, int& value, int) {
  value = atoi(receive_unit_by_service(de));
  return 1;
}
