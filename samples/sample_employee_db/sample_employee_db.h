// A tiny in-memory employee list, passed to and from Excel as vectors of records.
// The record type Employee of sample_employee_db.def must keep the same members
// in the same order: the generated stub hands vectors of its own Employee class
// to these functions.
#ifndef VELMOR_SAMPLES_SAMPLE_EMPLOYEE_DB_H_
#define VELMOR_SAMPLES_SAMPLE_EMPLOYEE_DB_H_

#include <list>
#include <string>
#include <vector>

class Employee {
 public:
  std::string name;
  double salary;
  double bonus;
  double tax;

  Employee();
  Employee(const char* name, double salary, double bonus, double tax);
};

// The library's database; empty when the library is loaded, kept between calls.
extern std::list<Employee> employee_db;

// Fills db with every record (loading the defaults when the list is empty); returns its size.
int get_db(std::vector<Employee>& db);
// Replaces the list by db; returns the number of records now held.
int update_db(std::vector<Employee> db);
// Appends the 26 default records A..Z (does not clear first).
void load_default_db();

#endif
