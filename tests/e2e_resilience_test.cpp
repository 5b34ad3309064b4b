// A real Velmord under what every deployment meets: clients that leave
// mid-call or mid-line, data that looks like protocol words, symbolic links
// among the served files. Both execution models.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

class Resilience : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    o.defs = {"sample_employee_db", "text_file_transfer"};
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    // A second module file whose lines look like protocol words.
    std::ofstream(server_.root() + "/done.bas") << "__DONE__ first\n\x1b" "E\nlast\n";
    std::string def = server_.def_path("sample_employee_db");
    std::ifstream in(def);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string listed = "../samples/vba/employee_sheet.bas;";
    size_t at = text.find(listed);
    ASSERT_NE(at, std::string::npos);
    text.insert(at + listed.size(), "\n    ../done.bas;");
    std::ofstream(def, std::ios::trunc) << text;
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  std::string stamp(const std::string& module) {
    E2EClient client(&server_);
    std::string s, error;
    EXPECT_TRUE(client.session()->module_stamp(module, &s, &error)) << error;
    return s;
  }
  ServerProcess server_;
};

// update_db replaces the library's list; a call of it whose client left
// before its end-of-arguments line must never run. Afterwards get_db still
// answers the 26 default records, and the next call is served right.
TEST_P(Resilience, AbandonedCallsNeverReachTheLibrary) {
  const std::string start = "START_FUNCTION~sample_employee_db~update_db~0~" + stamp("sample_employee_db");
  const struct {
    const char* name;
    std::vector<std::string> units;  // each answered "__OK__"
    std::string cut;                 // then sent without its NUL
  } cases[] = {
      {"before the arguments", {}, ""},
      {"during the arguments", {"1", "Zed"}, ""},
      {"a cut-off argument", {"1", "Zed", "1", "2"}, "3"},
      {"after the arguments", {"1", "Zed", "1", "2", "3"}, ""},
      {"a cut-off end-of-arguments line", {"1", "Zed", "1", "2", "3"}, "end"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      RawClient raw(server_.port());
      ASSERT_TRUE(raw.ok());
      ASSERT_EQ(raw.ask(start), "__OK__");
      for (const std::string& unit : c.units) EXPECT_EQ(raw.ask(unit), "__OK__") << unit;
      if (!c.cut.empty()) raw.send_cut(c.cut);
      raw.leave();
      // Nothing is acknowledged that was not received.
      EXPECT_EQ(raw.reply(), "<closed>");
    }
    E2EClient client(&server_);
    CallPrint db = client.call("sample_employee_db", "get_db", {"[]"});
    ASSERT_TRUE(db.ok) << db.error << "\n" << server_.log();
    EXPECT_EQ(db.result, "26");
  }
  E2EClient client(&server_);
  CallPrint update = client.call("sample_employee_db", "update_db", {"[{Ann,1,2,3}]"});
  ASSERT_TRUE(update.ok) << update.error;
  EXPECT_EQ(update.result, "1");
}

// A request line cut off by the client's close is no request; the next
// connection is served as if nothing had happened.
TEST_P(Resilience, CutOffRequestLineIsNotServed) {
  for (const char* cut : {"givefm~1", "START_FUNCTION~sample_employee_db~update_db~0~x"}) {
    RawClient raw(server_.port());
    ASSERT_TRUE(raw.ok());
    raw.send_cut(cut);
    raw.leave();
    EXPECT_EQ(raw.reply(), "<closed>") << cut;
  }
  RawClient raw(server_.port());
  EXPECT_EQ(raw.ask("givefm~1"), "text_file_transfer");
}

// Served data that begins like the per-user relay's old end word is data:
// a function's string values and a module file's lines.
TEST_P(Resilience, DataLikeProtocolWordsIsOnlyData) {
  std::string text = server_.root() + "/done.txt";
  std::ofstream(text) << "__DONE__ is my text\n\x1b" "E\n__OK__\n";
  E2EClient client(&server_);
  for (int round = 0; round < 2; round++) {
    CallPrint p = client.call("text_file_transfer", "get_file", {text});
    ASSERT_TRUE(p.ok) << p.error << "\n" << server_.log();
    EXPECT_EQ(p.result, "[__DONE__ is my text\\n,\x1b" "E\\n,__OK__\\n]");
  }
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(client.session()->module_file("sample_employee_db", 2, &lines, &error)) << error;
  EXPECT_EQ(lines, std::vector<std::string>({"__DONE__ first", "\x1b" "E", "last"}));
  RawClient raw(server_.port());
  EXPECT_EQ(raw.ask("givefm~1"), "text_file_transfer");
}

INSTANTIATE_TEST_SUITE_P(Models, Resilience,
                         ::testing::Values(ModelParam{false, 1, "Pool"},
                                           ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace
