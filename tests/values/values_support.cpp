#include "values_support.h"

#include <gtest/gtest.h>
#include <string.h>

#include <charconv>
#include <vector>

#include "e2e_support.h"
#include "value_table.h"

namespace {

// The number that text reads as, parsed as T (as a worksheet would).
template <class T>
bool reads_as(const std::string& text, T* out) {
  const char* end = text.data() + text.size();
  std::from_chars_result r = std::from_chars(text.data(), end, *out);
  return r.ec == std::errc() && r.ptr == end;
}

template <class T>
std::string exact_text(T value) {
  char text[64];
  *std::to_chars(text, text + sizeof text - 1, value).ptr = '\0';
  return text;
}

template <class T>
::testing::AssertionResult arrives_as(const std::string& text, T expected) {
  T got = 0;
  if (!reads_as(text, &got)) return ::testing::AssertionFailure() << "'" << text << "' is no number";
  if (memcmp(&got, &expected, sizeof got) != 0)
    return ::testing::AssertionFailure() << "'" << text << "' is not " << exact_text(expected);
  return ::testing::AssertionSuccess();
}

// The elements of a printed range, vector or record ("[a,b]", "{a,b}").
std::vector<std::string> elements(const std::string& printed) {
  std::vector<std::string> out;
  if (printed.size() < 2) return out;
  std::string inner = printed.substr(1, printed.size() - 2);
  size_t start = 0;
  for (size_t comma; (comma = inner.find(',', start)) != std::string::npos; start = comma + 1)
    out.push_back(inner.substr(start, comma - start));
  out.push_back(inner.substr(start));
  return out;
}

std::string value_of_delivery(const std::string& delivery) {
  size_t at = delivery.rfind(" ; ");
  return at == std::string::npos ? delivery : delivery.substr(at + 3);
}

// The functions of the values library for one numeric type.
struct TypeFunctions {
  const char* value;
  const char* echo;
  const char* out;
  const char* thread;
};
const TypeFunctions kDoubleFunctions = {"dvalue", "decho", "dout", "dthread"};
const TypeFunctions kFloatFunctions = {"fvalue", "fecho", "fout", "fthread"};

template <class T>
void check_plain(E2EClient* client, const TypeFunctions& f, const T* table, int count) {
  for (int i = 0; i < count; i++) {
    SCOPED_TRACE(std::string(f.value) + " " + std::to_string(i));
    const std::string index = std::to_string(i);
    CallPrint r = client->call("values", f.value, {index});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(arrives_as(r.result, table[i]));
    // The server reads every digit the client sends, too.
    r = client->call("values", f.echo, {exact_text(table[i])});
    EXPECT_TRUE(arrives_as(r.result, table[i])) << r.error;
    r = client->call("values", f.out, {index, "0"});
    ASSERT_EQ(r.outbound.size(), 1u) << r.error;
    EXPECT_TRUE(arrives_as(r.outbound[0], table[i]));
    EXPECT_EQ(r.result, index);
  }
}

template <class T>
void check_threads(E2EClient* client, const TypeFunctions& f, const T* table, int count) {
  for (int i = 0; i < count; i++) {
    CallPrint t = client->call("values", f.thread, {std::to_string(i)});
    ASSERT_TRUE(t.ok) << t.error;
    std::vector<std::string> got = client->deliveries(t, 1, 15000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(arrives_as(got[0], table[i])) << f.thread << " " << i;
  }
}

void check_containers(E2EClient* client) {
  CallPrint r = client->call("values", "drange", {std::to_string(kTableDoubleCount)});
  ASSERT_TRUE(r.ok) << r.error;
  std::vector<std::string> texts = elements(r.result);
  ASSERT_EQ(texts.size(), (size_t)kTableDoubleCount) << r.result;
  for (int i = 0; i < kTableDoubleCount; i++) EXPECT_TRUE(arrives_as(texts[i], kTableDoubles[i]));

  r = client->call("values", "fvector", {"[]"});
  ASSERT_EQ(r.outbound.size(), 1u) << r.error;
  texts = elements(r.outbound[0]);
  ASSERT_EQ(texts.size(), (size_t)kTableFloatCount) << r.outbound[0];
  for (int i = 0; i < kTableFloatCount; i++) EXPECT_TRUE(arrives_as(texts[i], kTableFloats[i]));

  for (int i = 0; i < kTableFloatCount; i++) {
    r = client->call("values", "pair_at", {std::to_string(i)});
    texts = elements(r.result);
    ASSERT_EQ(texts.size(), 2u) << r.result << r.error;
    EXPECT_TRUE(arrives_as(texts[0], kTableDoubles[i]));
    EXPECT_TRUE(arrives_as(texts[1], kTableFloats[i]));
  }
}

// A stream's values in order, then its end.
template <class T>
void check_stream(E2EClient* client, const char* function, const std::vector<std::string>& args,
                  const T* table, int count) {
  SCOPED_TRACE(function);
  CallPrint s = client->call("values", function, args);
  ASSERT_TRUE(s.ok) << s.error;
  std::vector<std::string> got = client->deliveries(s, count + 1, 15000);
  ASSERT_EQ(got.size(), (size_t)count + 1);
  for (int i = 0; i < count; i++) EXPECT_TRUE(arrives_as(value_of_delivery(got[i]), table[i]));
  EXPECT_EQ(got[count], "END");
}

}  // namespace

std::pair<std::string, std::string> values_definition_file() {
  return {"values", std::string("LIBRARIES {\n  ") + VELMOR_VALUES_LIB + ";\n}\n" +
                        "TYPES {\n  Pair (double d, float f);\n}\n"
                        "FUNCTIONS {\n"
                        "  double dvalue (int i);\n  float fvalue (int i);\n"
                        "  double decho (double x);\n  float fecho (float x);\n"
                        "  int dout (int i, double & x);\n  int fout (int i, float & x);\n"
                        "  RANGE<double> drange (int n);\n  int fvector (VECTOR<float> & v);\n"
                        "  Pair pair_at (int i);\n}\n"
                        "THREADS {\n  double dthread (int i);\n  float fthread (int i);\n}\n"
                        "STREAMS {\n  int dstream (ExcelChannel<double> ch);\n"
                        "  int fstream (ExcelChannel<float> ch);\n"
                        "  int dstream_out (ExcelChannel<double> ch, int & index);\n"
                        "  int fstream_out (ExcelChannel<float> ch, int & index);\n}\n"};
}

void check_values_travel_exactly(ServerProcess* server) {
  E2EClient client(server);
  check_plain(&client, kDoubleFunctions, kTableDoubles, kTableDoubleCount);
  check_plain(&client, kFloatFunctions, kTableFloats, kTableFloatCount);
  // A float parameter gets the float nearest the text.
  CallPrint r = client.call("values", "fecho", {"16777217"});
  EXPECT_TRUE(arrives_as(r.result, 16777216.0f)) << r.error;
  r = client.call("values", "fecho", {"1.5e-8"});
  EXPECT_TRUE(arrives_as(r.result, 1.5e-8f)) << r.error;
  {
    SCOPED_TRACE("range, vector and record");
    check_containers(&client);
  }
  check_threads(&client, kDoubleFunctions, kTableDoubles, kTableDoubleCount);
  check_threads(&client, kFloatFunctions, kTableFloats, kTableFloatCount);
  check_stream(&client, "dstream", {}, kTableDoubles, kTableDoubleCount);
  check_stream(&client, "fstream", {}, kTableFloats, kTableFloatCount);
  check_stream(&client, "dstream_out", {"0"}, kTableDoubles, kTableDoubleCount);
  check_stream(&client, "fstream_out", {"0"}, kTableFloats, kTableFloatCount);
}
