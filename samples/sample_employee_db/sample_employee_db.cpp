#include "sample_employee_db.h"

std::list<Employee> employee_db;

Employee::Employee() : name("dummy"), salary(0), bonus(0), tax(0) {}

Employee::Employee(const char* n, double s, double b, double t)
    : name(n ? n : ""), salary(s), bonus(b), tax(t) {}

namespace {

const char* const kDefaultNames[26] = {
    "Alice", "Bruno", "Chloe", "Dmitri", "Elena", "Farid", "Greta",
    "Hugo",  "Ines",  "Jonas", "Kira",   "Liam",  "Mona",  "Nils",
    "Olga",  "Pavel", "Quinn", "Rosa",   "Sven",  "Tara",  "Umar",
    "Vera",  "Wim",   "Xenia", "Yusuf",  "Zoe"};

}  // namespace

void load_default_db() {
  for (int i = 0; i < 26; i++) {
    double salary = 24000 + 1000 * i;
    // Record 24 earns as much as record 25: a tie for sorting demonstrations.
    if (i == 24) salary = 49000;
    employee_db.push_back(
        Employee(kDefaultNames[i], salary, 5500 + 100 * i, 350 + 10 * i));
  }
}

int get_db(std::vector<Employee>& db) {
  if (employee_db.empty()) load_default_db();
  db.clear();
  for (const Employee& e : employee_db) db.push_back(e);
  return static_cast<int>(db.size());
}

int update_db(std::vector<Employee> db) {
  employee_db.clear();
  for (const Employee& e : db) employee_db.push_back(e);
  return static_cast<int>(employee_db.size());
}
