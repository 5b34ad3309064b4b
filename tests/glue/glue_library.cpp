// A user library shaped like a site's real code, for the end-to-end tests of
// the generated glue: functions whose readable symbols are far longer than a
// line buffer, placed between small functions that each answer with their own
// number; a char function; records nesting an array of records; and streams
// that log what Send answered, to show when they end; and functions that
// throw, as real C++ libraries do.
#include <unistd.h>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "wrapper_support.hxx"

namespace {

typedef std::map<std::string, std::string> Pairs;
typedef std::map<std::string, std::vector<Pairs>> Nested;

void append(const std::string& path, const std::string& text) {
  FILE* f = fopen(path.c_str(), "a");
  if (f == nullptr) return;
  fputs(text.c_str(), f);
  fclose(f);
}

// Written when the stream's frame goes, by a return or by a stop.
struct EndMark {
  std::string path;
  ~EndMark() { append(path, "ended\n"); }
};

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

}  // namespace

// Each readable form of these is well over a thousand characters.
int long_a(Nested& a, std::vector<std::string> b) { return (int)(a.size() + b.size()); }
int target01(int x) { return 100 + x; }
int target02(int x) { return 200 + x; }
int long_b(std::vector<Nested> a, Nested b, Pairs c) { return (int)(a.size() + b.size() + c.size()); }
int target03(int x) { return 300 + x; }
int target04(int x) { return 400 + x; }
int long_c(const Nested& a, const std::vector<Nested>& b) { return (int)(a.size() + b.size()); }
int target05(int x) { return 500 + x; }
int target06(int x) { return 600 + x; }
int long_d(std::map<Nested, Nested> a) { return (int)a.size(); }
int target07(int x) { return 700 + x; }
int target08(int x) { return 800 + x; }

int ok2(int y) { return 2 * y; }
char cfirst(char c) { return c == '\0' ? '0' : (char)(c + 1); }

// Same members in the same order as the definition file's record types.
class Person {
 public:
  std::string name;
  int age;
};
class Team {
 public:
  std::string title;
  std::vector<Person> members;
};

Team make_team(std::string title, int n) {
  Team t;
  t.title = title;
  for (int i = 0; i < n; i++) t.members.push_back(Person{"p" + std::to_string(i), 20 + i});
  return t;
}

int team_age(Team t) {
  int sum = 0;
  for (const Person& p : t.members) sum += p.age;
  return sum + (int)t.title.size() * 1000;
}

// n deliveries, each with v raised by one.
int sout(ExcelChannel<int>* ch, std::vector<double>& v, int n) {
  for (int i = 0; i < n; i++) {
    for (double& x : v) x += 1;
    ch->Send(i);
  }
  return 1;
}

// Streams until it is ended from outside: it ignores what Send answers, as
// careless code does, and logs it.
int forever(ExcelChannel<int>* ch, std::string log) {
  EndMark mark{log};
  for (int i = 0;; i++) {
    append(log, ch->Send(i) ? "1\n" : "0\n");
    usleep(100000);
  }
}

int forever_out(ExcelChannel<int>* ch, int& count, std::string log) {
  EndMark mark{log};
  for (int i = 0;; i++) {
    count = i;
    append(log, ch->Send(i) ? "1\n" : "0\n");
    usleep(100000);
  }
}

// One delivery, then waits (bounded) for the file `release` before the
// second: a delivery's connection must close while the stream waits.
int stepper(ExcelChannel<int>* ch, std::vector<double>& v, std::string release) {
  int value = 1;
  ch->Send(value);
  for (int waited = 0; waited < 600 && !exists(release); waited++) usleep(50000);
  for (double& x : v) x += 1;
  value = 2;
  ch->Send(value);
  return 1;
}

// Thrown by raise_kind: no std::exception, as some libraries throw.
struct GlueFault {
  int code;
};

// kind 1 throws a std::runtime_error, kind 2 a GlueFault; any other kind is
// answered as it is.
int raise_kind(int kind) {
  if (kind == 1) throw std::runtime_error("raise_kind was told to fail");
  if (kind == 2) throw GlueFault{kind};
  return kind;
}

int raise_out(int& out, int kind) {
  out = kind;
  return raise_kind(kind);
}

// One value, then raise_kind's answer.
int raise_stream(ExcelChannel<int>* ch, int kind) {
  int first = 100;
  ch->Send(first);
  return raise_kind(kind);
}

int raise_stream_out(ExcelChannel<int>* ch, int& count, int kind) {
  count = 1;
  int first = 100;
  ch->Send(first);
  return raise_kind(kind);
}
