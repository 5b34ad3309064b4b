#include "definition_book.h"

#include <gtest/gtest.h>

namespace {

std::string sample(const char* name) { return std::string(VELMOR_SOURCE_DIR) + "/samples/" + name; }

CallSignature lookup(const char* def_file, const char* name) {
  DefinitionBook book;
  std::string error;
  EXPECT_TRUE(book.read_file(sample(def_file), &error)) << error;
  CallSignature sig;
  EXPECT_TRUE(book.lookup(name, &sig, &error)) << name << ": " << error;
  return sig;
}

TEST(DefinitionBook, TypesTheSampleDeclarations) {
  CallSignature get_db = lookup("sample_employee_db.def", "get_db");
  EXPECT_EQ(get_db.kind, CALL_FUNCTION);
  ASSERT_EQ(get_db.params.size(), 1u);
  EXPECT_EQ(get_db.params[0].kind, ValueShape::RECORD_ARRAY);
  EXPECT_TRUE(get_db.params[0].outbound);
  ASSERT_EQ(get_db.params[0].members.size(), 4u);
  EXPECT_EQ(get_db.params[0].members[0].type, "string");
  EXPECT_EQ(get_db.params[0].members[3].tag, "tax");
  EXPECT_EQ(get_db.result.kind, ValueShape::SCALAR);

  CallSignature reverse = lookup("sample_threads.def", "reverse_range_returns_array");
  ASSERT_EQ(reverse.params.size(), 2u);
  EXPECT_EQ(reverse.params[0].kind, ValueShape::ARRAY);
  EXPECT_FALSE(reverse.params[0].outbound);  // const
  EXPECT_EQ(reverse.result.kind, ValueShape::ARRAY);

  CallSignature by_ref = lookup("sample_threads.def", "reverse_range_passby_reference");
  EXPECT_EQ(by_ref.outbound_params().size(), 1u);

  CallSignature show_time = lookup("sample_streams.def", "show_time");
  EXPECT_EQ(show_time.kind, CALL_STREAM);
  EXPECT_EQ(show_time.params.size(), 2u);  // the channel is not sent
  EXPECT_EQ(show_time.result.type, "qvtx_string");
  EXPECT_TRUE(show_time.scalar_callback());

  CallSignature jumping = lookup("sample_streams.def", "jumping_array");
  EXPECT_EQ(jumping.result.kind, ValueShape::ARRAY);
  EXPECT_FALSE(jumping.scalar_callback());

  CallSignature avg_thread = lookup("sample_threads_async.def", "range_average");
  EXPECT_EQ(avg_thread.kind, CALL_THREAD);
  EXPECT_TRUE(avg_thread.scalar_callback());
  EXPECT_FALSE(lookup("sample_threads_async.def", "reverse_range_returns_array").scalar_callback());

  CallSignature get_file = lookup("text_file_transfer.def", "get_file");
  EXPECT_EQ(get_file.result.kind, ValueShape::ARRAY);
  EXPECT_EQ(get_file.result.type, "qvtx_string");
}

TEST(DefinitionBook, EverySampleDeclarationIsUsable) {
  for (const char* f : {"sample_employee_db.def", "sample_threads.def", "sample_threads_async.def",
                        "sample_streams.def", "text_file_transfer.def"}) {
    DefinitionBook book;
    std::string error;
    ASSERT_TRUE(book.read_file(sample(f), &error)) << error;
    for (const auto& e : book.entries()) {
      if (e.first == DefinitionBook::RECORD) continue;
      CallSignature sig;
      EXPECT_TRUE(book.lookup(declared_name(e.second), &sig, &error)) << f << ": " << error;
    }
  }
}

TEST(DefinitionBook, TakesCatalogueLinesAndReportsWhatIsMissing) {
  DefinitionBook book;
  EXPECT_TRUE(book.add_catalogue_line("0~Point (double x, double y)"));
  EXPECT_TRUE(book.add_catalogue_line("2~Point centre (VECTOR<Point> & points)"));
  EXPECT_FALSE(book.add_catalogue_line("no kind here"));
  EXPECT_FALSE(book.add_catalogue_line("7~int f ()"));
  CallSignature sig;
  std::string error;
  ASSERT_TRUE(book.lookup("centre", &sig, &error)) << error;
  EXPECT_EQ(sig.kind, CALL_THREAD);
  EXPECT_EQ(sig.result.kind, ValueShape::RECORD);
  EXPECT_EQ(sig.params[0].kind, ValueShape::RECORD_ARRAY);
  EXPECT_FALSE(sig.scalar_callback());

  EXPECT_FALSE(book.lookup("nothing", &sig, &error));
  EXPECT_EQ(error, "no declaration of nothing");

  DefinitionBook deep;
  deep.add(DefinitionBook::FUNCTION, "int m (double ** grid)");
  EXPECT_FALSE(deep.lookup("m", &sig, &error));
  EXPECT_NE(error.find("more than one dimension"), std::string::npos);

  EXPECT_FALSE(book.read_file("/nonexistent/x.def", &error));
}

TEST(DefinitionBook, DeclaredNameIsTheWordBeforeTheParenthesis) {
  EXPECT_EQ(declared_name("double range_average (VECTOR<double> values)"), "range_average");
  EXPECT_EQ(declared_name("RANGE<char *> get_file(char * path)"), "get_file");
  EXPECT_EQ(declared_name("Employee (string name)"), "Employee");
  EXPECT_EQ(declared_name("char *name ()"), "name");
}

}  // namespace
