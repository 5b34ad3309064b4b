// Plain function calls against a real Velmord, in both execution models.
#include <gtest/gtest.h>

#include <fstream>

#include "e2e_support.h"

namespace {

class Functions : public ::testing::TestWithParam<ModelParam> {
 protected:
  void SetUp() override {
    ServerProcess::Options o;
    o.defs = {"sample_employee_db", "sample_threads", "text_file_transfer"};
    o.per_user = GetParam().per_user;
    o.max_processes = GetParam().max_processes;
    ASSERT_TRUE(server_.prepare(o));
    ASSERT_TRUE(server_.start()) << server_.log();
  }
  ServerProcess server_;
};

TEST_P(Functions, RangesAndOutboundValues) {
  E2EClient client(&server_);
  struct Case {
    const char* module;
    const char* function;
    std::vector<std::string> args;
    std::vector<std::string> outbound;
    const char* result;
  } cases[] = {
      {"sample_threads", "range_average", {"[1,2,6]"}, {}, "3"},
      {"sample_threads", "range_average", {"[]"}, {}, "0"},
      {"sample_threads", "range_average", {"[0.1, 0.2, 0.3, 0.4]"}, {}, "0.25"},
      {"sample_threads", "reverse_range_passby_reference", {"[1,2,3]"}, {"[3,2,1]"}, "3"},
      {"sample_threads", "reverse_range_passby_reference", {"[]"}, {"[]"}, "0"},
      {"sample_threads", "reverse_range_returns_array", {"[1,2,3]", "3"}, {}, "[3,2,1]"},
      {"sample_threads", "reverse_range_returns_array", {"[]", "0"}, {}, "[]"},
  };
  for (const Case& c : cases) {
    CallPrint p = client.call(c.module, c.function, c.args);
    ASSERT_TRUE(p.ok) << c.function << ": " << p.error << "\n" << server_.log();
    EXPECT_FALSE(p.out_of_date);
    EXPECT_EQ(p.outbound, c.outbound) << c.function;
    EXPECT_EQ(p.result, c.result) << c.function;
  }
}

TEST_P(Functions, EmployeeRecordsTravelInVectors) {
  E2EClient client(&server_);
  CallPrint fresh = client.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(fresh.ok) << fresh.error << "\n" << server_.log();
  EXPECT_EQ(fresh.result, "26");
  ASSERT_EQ(fresh.outbound.size(), 1u);
  Value db;
  std::string error;
  ASSERT_TRUE(parse_value(fresh.sig.params[0], fresh.outbound[0], &db, &error)) << error;
  ASSERT_EQ(db.items.size(), 26u);
  for (size_t i = 0; i < 26; i++) {
    EXPECT_EQ(db.items[i].items[0].text[0], static_cast<char>('A' + i));
    EXPECT_EQ(db.items[i].items[2].text, std::to_string(5500 + 100 * i));
    EXPECT_EQ(db.items[i].items[3].text, std::to_string(350 + 10 * i));
  }
  EXPECT_EQ(db.items[23].items[1].text, "47000");
  EXPECT_EQ(db.items[24].items[1].text, "49000");
  EXPECT_EQ(db.items[25].items[1].text, "49000");

  const std::string three = "[{Ann,1,2,3},{Bob Smith,4.5,5,6},{Cy,7,8,9}]";
  CallPrint update = client.call("sample_employee_db", "update_db", {three});
  ASSERT_TRUE(update.ok) << update.error;
  EXPECT_EQ(update.result, "3");
  CallPrint after = client.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(after.ok) << after.error;
  EXPECT_EQ(after.result, "3");
  EXPECT_EQ(after.outbound, std::vector<std::string>{three});

  CallPrint emptied = client.call("sample_employee_db", "update_db", {"[]"});
  ASSERT_TRUE(emptied.ok) << emptied.error;
  EXPECT_EQ(emptied.result, "0");
  CallPrint reloaded = client.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(reloaded.ok) << reloaded.error;
  EXPECT_EQ(reloaded.result, "26");

  // A void function answers 0, not what its call left behind; it appends.
  CallPrint loaded = client.call("sample_employee_db", "load_default_db", {});
  ASSERT_TRUE(loaded.ok) << loaded.error;
  EXPECT_EQ(loaded.result, "0");
  CallPrint doubled = client.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(doubled.ok) << doubled.error;
  EXPECT_EQ(doubled.result, "52");
}

TEST_P(Functions, FileLinesComeAsAnOpenEndedRange) {
  std::string path = server_.root() + "/two_lines.txt";
  std::ofstream(path) << "first line\nsecond line\n";
  E2EClient client(&server_);
  CallPrint p = client.call("text_file_transfer", "get_file", {path});
  ASSERT_TRUE(p.ok) << p.error << "\n" << server_.log();
  EXPECT_EQ(p.result, "[first line\\n,second line\\n]");

  CallPrint missing = client.call("text_file_transfer", "get_file", {server_.root() + "/none.txt"});
  ASSERT_TRUE(missing.ok) << missing.error;
  EXPECT_EQ(missing.result, "[]");
  // The worker survived both.
  CallPrint again = client.call("text_file_transfer", "get_file", {path});
  ASSERT_TRUE(again.ok) << again.error;
  EXPECT_EQ(again.result, p.result);
}

TEST_P(Functions, StaleStampUnknownModuleAndUnknownFunction) {
  E2EClient client(&server_);
  CallPrint stale = client.call("sample_threads", "range_average", {"[1]"}, "01 Jan 2000 00:00:00 GMT");
  ASSERT_TRUE(stale.ok) << stale.error;
  EXPECT_TRUE(stale.out_of_date);

  std::string stamp, error;
  EXPECT_FALSE(client.session()->server_stamp("no_such_module", &stamp, &error));
  EXPECT_EQ(error, "module no_such_module is not loaded by the server");

  // A declaration the module does not publish: the server gives no answer.
  ASSERT_TRUE(client.session()->server_stamp("sample_threads", &stamp, &error)) << error;
  DefinitionBook book;
  book.add(DefinitionBook::FUNCTION, "int not_published (int x)");
  CallSignature sig;
  ASSERT_TRUE(book.lookup("not_published", &sig, &error));
  CallOutcome out;
  EXPECT_FALSE(client.session()->call("sample_threads", sig, {Value::leaf("1")}, stamp, &out, &error));
  EXPECT_EQ(error, "the server does not publish not_published in module sample_threads");

  CallPrint still = client.call("sample_threads", "range_average", {"[2,4]"});
  ASSERT_TRUE(still.ok) << still.error;
  EXPECT_EQ(still.result, "3");
}

TEST_P(Functions, CatalogueServesModulesFormulaeDefinitionsAndVba) {
  E2EClient client(&server_);
  VelmorSession* s = client.session();
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(s->modules(&lines, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::string>{"text_file_transfer", "sample_threads",
                                             "sample_employee_db"}));

  std::vector<std::pair<std::string, std::string>> formulae;
  ASSERT_TRUE(s->formulae("sample_employee_db", false, &formulae, &error)) << error;
  ASSERT_EQ(formulae.size(), 3u);
  EXPECT_EQ(formulae[0].first, "sample_employee_db.GROSS_PAY(salary, bonus)");
  EXPECT_EQ(formulae[0].second, "salary+bonus");
  EXPECT_EQ(formulae[1].second, "sample_employee_db.GROSS_PAY(salary, bonus)-tax");
  ASSERT_TRUE(s->formulae("sample_employee_db", true, &formulae, &error)) << error;
  ASSERT_EQ(formulae.size(), 1u);
  EXPECT_EQ(formulae[0].first, "sample_employee_db.PAYROLL_TABLE");
  EXPECT_EQ(formulae[0].second, "get_db(Employees!A1)");  // get_db returns no array: no gen_ prefix
  EXPECT_FALSE(s->formulae("no_such_module", false, &formulae, &error));

  ASSERT_TRUE(s->definitions("sample_employee_db", &lines, &error)) << error;
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "1~void load_default_db ()", "1~int update_db (VECTOR<Employee> db)",
                       "1~int get_db (VECTOR<Employee> & db)",
                       "0~Employee (string name, double salary, double bonus, double tax)"}));

  ASSERT_TRUE(s->vba_module("sample_employee_db", &lines, &error)) << error;
  std::string stamp;
  ASSERT_TRUE(s->server_stamp("sample_employee_db", &stamp, &error)) << error;
  bool has_stamp = false, has_get_db = false;
  for (const std::string& l : lines) {
    has_stamp |= l == "Private Const last_updated_time  as string = \"" + stamp + "\"";
    has_get_db |= l.find("Function get_db (") == 0;
  }
  EXPECT_TRUE(has_stamp) << stamp;
  EXPECT_TRUE(has_get_db);

  ASSERT_TRUE(s->module_file("sample_employee_db", 1, &lines, &error)) << error;
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "Attribute VB_Name = \"employee_sheet\"");
  EXPECT_FALSE(s->module_file("sample_employee_db", 2, &lines, &error) && !lines.empty());
}

INSTANTIATE_TEST_SUITE_P(Models, Functions,
                         ::testing::Values(ModelParam{false, 1, "Pool"},
                                           ModelParam{true, 2, "PerUser"}),
                         [](const ::testing::TestParamInfo<ModelParam>& i) { return i.param.name; });

}  // namespace

namespace {

// In the per-user model each client address is bound to a worker of its own,
// so the library state of one client is not seen by another.
TEST(PerUserClients, EachAddressKeepsItsOwnWorker) {
  ServerProcess server;
  ServerProcess::Options o;
  o.defs = {"sample_employee_db"};
  o.per_user = true;
  o.max_processes = 2;
  ASSERT_TRUE(server.prepare(o));
  ASSERT_TRUE(server.start()) << server.log();
  E2EClient first(&server), second(&server);
  second.session()->set_source_address("127.0.0.2");

  CallPrint update = first.call("sample_employee_db", "update_db", {"[{Ann,1,2,3}]"});
  ASSERT_TRUE(update.ok) << update.error << "\n" << server.log();
  EXPECT_EQ(update.result, "1");
  CallPrint other = second.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(other.ok) << other.error;
  EXPECT_EQ(other.result, "26");
  CallPrint same = first.call("sample_employee_db", "get_db", {"[]"});
  ASSERT_TRUE(same.ok) << same.error;
  EXPECT_EQ(same.result, "1");
  EXPECT_EQ(same.outbound, std::vector<std::string>{"[{Ann,1,2,3}]"});
}

}  // namespace
