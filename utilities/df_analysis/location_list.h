// Where macro terms live on a worksheet: each location pairs a term (parsed
// by the macro grammar) with a column letter or row number and the first and
// last row (or column) of the term's range.
#ifndef VELMOR_DF_ANALYSIS_LOCATION_LIST_H_
#define VELMOR_DF_ANALYSIS_LOCATION_LIST_H_

#include <list>
#include <string>

#include "expression.h"

class LocationList {
 public:
  Expression* expression;  // owned
  std::string column;
  std::string beginRange;
  std::string endRange;

  LocationList(Expression* expression, const char* column, const char* beginRange, const char* endRange);
  ~LocationList();
  LocationList(const LocationList&) = delete;
  LocationList& operator=(const LocationList&) = delete;
};

typedef std::list<LocationList*> RangeList;

extern RangeList& rangeList;  // newest first; never destroyed

// Puts the location at the front of rangeList when the macro parses; returns
// rangeList.  A null argument throws Exception 5001.
RangeList* AddItem(const char* macro, const char* column, const char* beginRange, const char* endRange);
void delete_range_list();
void print_list();

#endif
