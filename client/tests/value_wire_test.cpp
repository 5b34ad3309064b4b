#include "value_wire.h"

#include <gtest/gtest.h>

#include <deque>

namespace {

class ScriptedSource : public UnitSource {
 public:
  explicit ScriptedSource(std::deque<std::string> units) : units_(units) {}
  bool next(std::string* unit, std::string* error) override {
    if (units_.empty()) {
      *error = "the connection was closed";
      return false;
    }
    *unit = units_.front();
    units_.pop_front();
    acks++;
    return true;
  }
  int acks = 0;

 private:
  std::deque<std::string> units_;
};

ValueShape shape(ValueShape::Kind kind, const char* type) {
  ValueShape s;
  s.kind = kind;
  s.type = type;
  return s;
}

ValueShape employees() {
  ValueShape s = shape(ValueShape::RECORD_ARRAY, "Employee");
  s.members = {shape(ValueShape::SCALAR, "string"), shape(ValueShape::SCALAR, "double"),
               shape(ValueShape::SCALAR, "double"), shape(ValueShape::SCALAR, "double")};
  return s;
}

TEST(ValueWire, EncodesCountThenElementsAndRecordsMemberByMember) {
  Value v;
  std::string error;
  std::vector<std::string> units;
  ASSERT_TRUE(parse_value(employees(), "[{A,1,2,3},{B,4,5,6}]", &v, &error));
  ASSERT_TRUE(encode_value(employees(), v, &units, &error));
  EXPECT_EQ(units, (std::vector<std::string>{"2", "A", "1", "2", "3", "B", "4", "5", "6"}));

  units.clear();
  ASSERT_TRUE(parse_value(shape(ValueShape::ARRAY, "double"), "[]", &v, &error));
  ASSERT_TRUE(encode_value(shape(ValueShape::ARRAY, "double"), v, &units, &error));
  EXPECT_EQ(units, std::vector<std::string>{"0"});
}

TEST(ValueWire, RefusesAUnitTheServerWouldCut) {
  std::vector<std::string> units;
  std::string error;
  EXPECT_TRUE(encode_value(shape(ValueShape::SCALAR, "qvtx_string"),
                           Value::leaf(std::string(1023, 'x')), &units, &error));
  EXPECT_FALSE(encode_value(shape(ValueShape::SCALAR, "qvtx_string"),
                            Value::leaf(std::string(1024, 'x')), &units, &error));
  EXPECT_NE(error.find("1024 characters"), std::string::npos);
}

TEST(ValueWire, ReadsCountedAndOpenEndedArrays) {
  struct Case {
    std::deque<std::string> units;
    const char* printed;
    int acks;
  } cases[] = {
      {{"3", "3", "2", "1"}, "[3,2,1]", 4},
      {{"0"}, "[]", 1},
      {{"-1", "0", "line one\n", "1", "line two\n", "-1"}, "[line one\\n,line two\\n]", 6},
      {{"-1", "-1"}, "[]", 2},
      {{"-1", "1", "b", "0", "a", "-1"}, "[a,b]", 6},  // indexes place the elements
  };
  for (const Case& c : cases) {
    ScriptedSource source(c.units);
    Value v;
    std::string error;
    ValueShape s = shape(ValueShape::ARRAY, "qvtx_string");
    ASSERT_TRUE(read_value(&source, s, &v, &error)) << error;
    EXPECT_EQ(format_value(s, v), c.printed);
    EXPECT_EQ(source.acks, c.acks);
  }
}

TEST(ValueWire, ReadFailsOnBadCountsAndLostConnections) {
  struct Case {
    std::deque<std::string> units;
    const char* message_part;
  } cases[] = {
      {{"-2"}, "bad element count"},
      {{"-1", "-5"}, "bad element index"},
      {{"-1", "99999999"}, "bad element index"},
      {{"2", "1"}, "closed"},
      {{"-1", "0", "a"}, "closed"},
  };
  for (const Case& c : cases) {
    ScriptedSource source(c.units);
    Value v;
    std::string error;
    EXPECT_FALSE(read_value(&source, shape(ValueShape::ARRAY, "double"), &v, &error));
    EXPECT_NE(error.find(c.message_part), std::string::npos) << error;
  }
}

TEST(ValueWire, ReadsRecordsInMemberOrder) {
  ScriptedSource source({"2", "Ann", "24000", "5500", "350", "Bob", "25000", "5600", "360"});
  Value v;
  std::string error;
  ASSERT_TRUE(read_value(&source, employees(), &v, &error));
  EXPECT_EQ(format_value(employees(), v), "[{Ann,24000,5500,350},{Bob,25000,5600,360}]");
}

}  // namespace
