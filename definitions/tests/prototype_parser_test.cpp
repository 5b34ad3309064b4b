// The prototype parser over a table of declarations, its syntax errors and
// its stack limit.
#include <gtest/gtest.h>

#include <string>

#include "prototype_objects.h"
#include "prototype_parser.h"

namespace {

// "type:tag:dimensions:flags:container" of one Prototype.
std::string Describe(const Prototype* p) {
  return std::string(p->type) + ":" + p->tag + ":" + std::to_string(p->ref_count) + ":" +
         std::to_string(p->arg_flags) + ":" + std::to_string(p->container_type);
}

// "result name(parameter, ...)" of one declaration.
std::string Describe(const ExternDefinition* d) {
  std::string s = Describe(d->return_type) + " " + d->name + "(";
  for (Llist<Prototype*>* p = d->prototype; p != nullptr; p = p->next) {
    s += Describe(p->data);
    if (p->next != nullptr) s += ", ";
  }
  return s + ")";
}

// Parses text; returns fp_parse's result and, on success, the description.
int Parse(const std::string& text, std::string* described) {
  fp_set_string(const_cast<char*>(text.c_str()));
  int result = fp_parse();
  if (result == 0) {
    *described = Describe(extern_definition_root);
    free_declaration(extern_definition_root);
    extern_definition_root = nullptr;
  }
  return result;
}

std::string Params(int n, const std::string& last) {
  std::string s = "int f (";
  for (int i = 0; i < n; i++) s += (i > 0 ? ", " : "") + std::string("int a");
  if (!last.empty()) s += (n > 0 ? ", " : "") + last;
  return s + ")";
}

struct Case {
  const char* text;
  const char* expected;
};

// Flags: 2 constant, 4 by reference, 8 record, 16 written void. Containers: 1 range, 2 vector.
const Case kAccepted[] = {
    {"f (double x)", "int::0:0:0 f(double:x:0:0:0)"},
    {"void g ()", "int::0:16:0 g()"},
    {"double h (double x, double X, int)",
     "double::0:0:0 h(double:x:0:0:0, double:X_2:0:0:0, int:arg_3:0:0:0)"},
    {"int f (int a, int A, int a)", "int::0:0:0 f(int:a:0:0:0, int:A_2:0:0:0, int:a_3:0:0:0)"},
    {"const Employee find (string key)", "Employee::0:10:0 find(string:key:0:0:0)"},
    {"Employee find (string key)", "Employee::0:8:0 find(string:key:0:0:0)"},
    {"RANGE<double> r (VECTOR<double> & v, const RANGE<double> w, double ** m)",
     "double::1:0:0 r(double:v:0:4:2, double:w:0:2:1, double:m:2:0:0)"},
    {"int s (ExcelChannel<char *> out, int n)",
     "int::0:0:0 s(qvtx_string:arg_1:0:0:0, int:n:0:0:0)"},
    {"int t (ExcelChannel<char * out>)", "int::0:0:0 t(qvtx_string:out:0:0:0)"},
    {"int t (ExcelChannel<int x>, )", "int::0:0:0 t(int:x:0:0:0)"},
    {"char c (char a, char * b, char ** d, CHAR *e)",
     "char::0:0:0 c(char:a:0:0:0, qvtx_string:b:0:0:0, qvtx_string:d:1:0:0, "
     "qvtx_string:e:0:0:0)"},
    {"Double D (VOID x, Const int y);", "double::0:0:0 D(int:x:0:16:0, int:y:0:2:0)"},
    {"int f (double[] v, double *[] w, int & r, int *& p, int,)",
     "int::0:0:0 f(double:v:1:0:0, double:w:2:0:0, int:r:0:4:0, int:p:1:4:0, int:arg_5:0:0:0)"},
    {"int f (VECTOR<double *> & v, VECTOR<double &> u, VECTOR<const long> c)",
     "int::0:0:0 f(double:v:1:4:2, double:u:0:0:2, long:c:0:2:2)"},
    {"double & f (Employee e, const Employee * es)",
     "double::0:0:0 f(Employee:e:0:8:0, Employee:es:1:10:0)"},
    {"RANGE<char *> names (string s)", "qvtx_string::1:0:0 names(string:s:0:0:0)"},
    {"DOUBLE avg (Range<Double> r, vector<float> v)",
     "double::0:0:0 avg(double:r:0:0:1, float:v:0:0:2)"},
    // Escapes: a backslash makes the next character part of the word; before
    // a line end both are dropped; at a token's start the character keeps
    // its meaning.
    {"int f (int a\\,b)", "int::0:0:0 f(int:a,b:0:0:0)"},
    {"int f\\\ng (int x)", "int::0:0:0 fg(int:x:0:0:0)"},
    {"int f \\(int x)", "int::0:0:0 f(int:x:0:0:0)"},
    {"int f (int \"a b\")", "int::0:0:0 f(int:\"a b\":0:0:0)"},
    {"int f (int 'a\\' b')", "int::0:0:0 f(int:'a' b':0:0:0)"},
    {"int f (int x)\\", "int::0:0:0 f(int:x:0:0:0)"},
};

TEST(PrototypeParser, AcceptedDeclarations) {
  for (const Case& c : kAccepted) {
    std::string described;
    EXPECT_EQ(0, Parse(c.text, &described)) << c.text;
    EXPECT_EQ(c.expected, described) << c.text;
  }
}

TEST(PrototypeParser, SyntaxErrors) {
  const std::string name63(63, 'n');
  const std::string type31(31, 'T');
  const char* rejected[] = {
      "int s (ExcelChannel<int> a, ExcelChannel<int> b)",
      "int s (int n, ExcelChannel<int> a)",
      "int f (int a [])",
      "int f (int &* a)",
      "int f (, int a)",
      "int f (int a);;",
      "int f (int [5] a)",
      "int f (int [ ] a)",
      "int f (int a,,)",
      "int f",
      "int f (int a) x",
      "",
  };
  for (const char* text : rejected) {
    std::string described;
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, Parse(text, &described)) << text;
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("#fp_error: syntax error near"))
        << text;
    EXPECT_EQ(nullptr, extern_definition_root) << text;
  }

  // Names are never cut to fit their fields: one character more is an error.
  struct Limit {
    std::string fits, too_long;
  } limits[] = {
      {"int " + name63 + " (int x)", "int " + name63 + "n (int x)"},
      {"int f (int " + name63 + ")", "int f (int " + name63 + "n)"},
      {"int f (" + type31 + " x)", "int f (" + type31 + "T x)"},
      {type31 + " f (int x)", type31 + "T f (int x)"},
      // A renamed tag must fit as well.
      {"int f (int " + std::string(61, 'a') + ", int " + std::string(61, 'a') + ")",
       "int f (int " + name63 + ", int " + name63 + ")"},
  };
  for (const Limit& l : limits) {
    std::string described;
    EXPECT_EQ(0, Parse(l.fits, &described)) << l.fits;
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, Parse(l.too_long, &described)) << l.too_long;
    testing::internal::GetCapturedStderr();
  }
}

TEST(PrototypeParser, MessageNamesTheLastWord) {
  std::string described;
  testing::internal::CaptureStderr();
  EXPECT_EQ(1, Parse("int f (double values [])", &described));
  EXPECT_EQ("#fp_error: syntax error near values\n", testing::internal::GetCapturedStderr());
}

TEST(PrototypeParser, StackHoldsTwoHundredEntries) {
  std::string described;
  EXPECT_EQ(0, Parse(Params(96, ""), &described));
  EXPECT_EQ(0, Parse(Params(94, "int * p"), &described));

  testing::internal::CaptureStderr();
  EXPECT_EQ(2, Parse(Params(97, ""), &described));
  EXPECT_EQ("#fp_error: memory exhausted near a\n", testing::internal::GetCapturedStderr());
  EXPECT_EQ(nullptr, extern_definition_root);

  testing::internal::CaptureStderr();
  EXPECT_EQ(2, Parse(Params(95, "int * p"), &described));
  testing::internal::GetCapturedStderr();

  // The parser is usable again afterwards.
  EXPECT_EQ(0, Parse("int g (int x)", &described));
  EXPECT_EQ("int::0:0:0 g(int:x:0:0:0)", described);
}

TEST(PrototypeParserDeathTest, OverlongTextEndsTheProgram) {
  std::string text(1024, 'x');
  EXPECT_EXIT(fp_set_string(const_cast<char*>(text.c_str())), testing::ExitedWithCode(1),
              "Not enough space \\(available 1024\\) to strcpy x+\nSorry, exiting ...");
  std::string fits(1023, 'x');
  fp_set_string(const_cast<char*>(fits.c_str()));
}

TEST(DeclarationModel, Predicates) {
  Prototype p("double");
  EXPECT_TRUE(p.IsBDT());
  EXPECT_FALSE(p.IsOutBound());
  p.SetPassBy(1);
  EXPECT_TRUE(p.IsOutBound());
  p.SetConstant(1);
  EXPECT_FALSE(p.IsOutBound());  // constant wins over reference and dimensions
  p.SetRefCount(1);
  EXPECT_FALSE(p.IsOutBound());
  EXPECT_FALSE(p.IsBDT());
  EXPECT_STREQ("*", p.GetRefString());
  p.SetRefCount(3);
  EXPECT_STREQ("", p.GetRefString());

  Prototype r("Employee");
  r.SetUDT();
  EXPECT_FALSE(r.IsBDT());

  Prototype* one = new Prototype("int");
  Llist<Prototype*>* single = new Llist<Prototype*>(one, nullptr);
  EXPECT_EQ(single, Llist<Prototype*>::Reverse(single));
  EXPECT_EQ(nullptr, single->next);
  EXPECT_EQ(nullptr, Llist<Prototype*>::Reverse(nullptr));
  free_prototype_list(single);
}

TEST(DeclarationModel, RecordBitFromTypeList) {
  std::string described;
  fp_set_string(const_cast<char*>("Employee (char * name, double salary)"));
  ASSERT_EQ(0, fp_parse());
  ExternDefinition* type = extern_definition_root;
  fp_set_string(const_cast<char*>("int get (VECTOR<Employee> & db, double d)"));
  ASSERT_EQ(0, fp_parse());
  ExternDefinition* fn = extern_definition_root;
  Llist<ExternDefinition*>* types = new Llist<ExternDefinition*>(type, nullptr);
  fn->check_and_set_udt(types);
  EXPECT_EQ("Employee:db:0:12:2", Describe(fn->prototype->data));
  EXPECT_EQ("double:d:0:0:0", Describe(fn->prototype->next->data));

  testing::internal::CaptureStdout();
  fn->Debug();
  EXPECT_EQ("int  get (Employee db, double d )\n", testing::internal::GetCapturedStdout());
  delete types;
  free_declaration(type);
  free_declaration(fn);
}

}  // namespace
