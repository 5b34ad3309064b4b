#include "value_text.h"

#include <gtest/gtest.h>

namespace {

ValueShape scalar(const char* type) {
  ValueShape s;
  s.type = type;
  return s;
}

ValueShape array(const char* type) {
  ValueShape s = scalar(type);
  s.kind = ValueShape::ARRAY;
  return s;
}

ValueShape employee(ValueShape::Kind kind = ValueShape::RECORD) {
  ValueShape s;
  s.kind = kind;
  s.type = "Employee";
  s.members = {scalar("string"), scalar("double"), scalar("double"), scalar("double")};
  return s;
}

std::string round_trip(const ValueShape& shape, const std::string& text) {
  Value v;
  std::string error;
  if (!parse_value(shape, text, &v, &error)) return "error: " + error;
  return format_value(shape, v);
}

TEST(ValueText, ParsesAndFormatsEveryShape) {
  struct Case {
    ValueShape shape;
    const char* text;
    const char* printed;
  } cases[] = {
      {scalar("int"), "42", "42"},
      {scalar("qvtx_string"), "hello, [world]", "hello, [world]"},  // top-level scalars as they stand
      {scalar("double"), "5e-324", "5e-324"},  // below the normal range, still exact
      {scalar("float"), "1e-45", "1e-45"},
      {array("double"), "1,2,6", "[1,2,6]"},
      {array("double"), "[ 1 , 2 ,6 ]", "[1,2,6]"},
      {array("double"), "[]", "[]"},
      {array("double"), "", "[]"},
      {array("qvtx_string"), "[a\\,b,c\\\\d, \\ e]", "[a\\,b,c\\\\d,\\ e]"},
      {array("qvtx_string"), "[one\\n,two]", "[one\\n,two]"},
      // An escaped backslash does not escape the blank after it.
      {array("qvtx_string"), "[a\\\\ ,b]", "[a\\\\,b]"},
      {array("qvtx_string"), "[a\\\\\\ ,b]", "[a\\\\\\ ,b]"},
      // An element's own blanks at its ends come back escaped.
      {array("qvtx_string"), "[\\ a\\ ,\\ \\ ,b c]", "[\\ a\\ ,\\ \\ ,b c]"},
      {employee(), "{\\ Ann,1,2,3}", "{\\ Ann,1,2,3}"},
      {employee(), "{Ann,24000,5500,350}", "{Ann,24000,5500,350}"},
      {employee(), "Ann,24000,5500,350", "{Ann,24000,5500,350}"},
      {employee(ValueShape::RECORD_ARRAY), "[{Ann,1,2,3},{Bob\\}\\, Jr,4,5,6}]",
       "[{Ann,1,2,3},{Bob\\}\\, Jr,4,5,6}]"},
      {employee(ValueShape::RECORD_ARRAY), "[]", "[]"},
  };
  for (const Case& c : cases) EXPECT_EQ(round_trip(c.shape, c.text), c.printed) << c.text;
}

TEST(ValueText, EscapedLeafKeepsItsCharacters) {
  Value v;
  std::string error;
  ASSERT_TRUE(parse_value(array("qvtx_string"), "[line\\n,a\\,b]", &v, &error));
  ASSERT_EQ(v.items.size(), 2u);
  EXPECT_EQ(v.items[0].text, "line\n");
  EXPECT_EQ(v.items[1].text, "a,b");
}

// Every printed element reads back as the element it was.
TEST(ValueText, PrintedElementsReadBackAsThemselves) {
  const std::vector<std::string> texts = {" a", "b ", "  ", "", "x\\ ", "\\", "a,b", "[c]", "\t d \n"};
  Value v = Value::of({});
  for (const std::string& t : texts) v.items.push_back(Value::leaf(t));
  std::string printed = format_value(array("qvtx_string"), v);
  Value back;
  std::string error;
  ASSERT_TRUE(parse_value(array("qvtx_string"), printed, &back, &error)) << printed << ": " << error;
  ASSERT_EQ(back.items.size(), texts.size()) << printed;
  for (size_t i = 0; i < texts.size(); i++) EXPECT_EQ(back.items[i].text, texts[i]) << printed;
}

TEST(ValueText, RejectsMalformedValuesWithOneLine) {
  struct Case {
    ValueShape shape;
    const char* text;
    const char* message_part;
  } cases[] = {
      {scalar("int"), "abc", "not a whole number"},
      {scalar("int"), "2.5", "not a whole number"},
      {scalar("double"), "", "not a number"},
      {scalar("double"), "1e999", "out of range"},
      {array("double"), "[1,x,3]", "'x' is not a number"},
      {array("double"), "[1,[2],3]", "not a number"},
      {array("double"), "[1,2", "unclosed"},
      {employee(), "{Ann,1,2}", "has 4 members"},
      {employee(), "{Ann,1,2,z}", "Employee.arg_4"},
      {employee(ValueShape::RECORD_ARRAY), "[Ann,1,2,3]", "in braces"},
      {employee(ValueShape::RECORD_ARRAY), "[{Ann,1,2,3}", "unclosed"},
      {employee(ValueShape::RECORD_ARRAY), "[{Ann,1,2,3}}]", "unbalanced"},
      {scalar("double"), "1e-400", "out of range"},
      {scalar("float"), "1e39", "out of range"},
      {scalar("int"), "3000000000", "out of range"},
      // Blanks alone are no number, at the top and as an element.
      {scalar("int"), " ", "' ' is not a whole number"},
      {scalar("double"), "\t", "is not a number"},
      {scalar("double"), "  ", "'  ' is not a number"},
      {array("double"), "[1,\\ ,3]", "' ' is not a number"},
      {array("int"), "[\\t]", "is not a whole number"},
  };
  cases[8].shape.members[3].tag = "arg_4";
  for (const Case& c : cases) {
    Value v;
    std::string error;
    EXPECT_FALSE(parse_value(c.shape, c.text, &v, &error)) << c.text;
    EXPECT_NE(error.find(c.message_part), std::string::npos) << c.text << " -> " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
