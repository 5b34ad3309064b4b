#include "location_list.h"

#include <stdint.h>
#include <stdio.h>

#include <new>

#include "df_exception.h"
#include "parsers.h"

RangeList& rangeList = *new RangeList;

LocationList::LocationList(Expression* expression, const char* column, const char* beginRange,
                           const char* endRange)
    : expression(expression), column(column), beginRange(beginRange), endRange(endRange) {}

LocationList::~LocationList() { delete expression; }

RangeList* AddItem(const char* macro, const char* column, const char* beginRange, const char* endRange) {
  if (macro == nullptr || column == nullptr || beginRange == nullptr || endRange == nullptr) {
    throw Exception(DF_ARGUMENT_MISSING, "df_analysis", "AddItem", __LINE__);
  }
  Expression* term = StringToMacroExpression(macro);
  if (term == nullptr) return &rangeList;
  LocationList* location = new (std::nothrow) LocationList(term, column, beginRange, endRange);
  if (location == nullptr) {
    delete term;
    throw Exception(DF_CREATE_FAILED, "df_analysis", "AddItem", __LINE__);
  }
  rangeList.push_front(location);
  return &rangeList;
}

void delete_range_list() {
  for (LocationList* location : rangeList) delete location;
  rangeList.clear();
}

void print_list() {
  printf("\nprint_list -------------\n");
  for (const LocationList* location : rangeList) {
    printf("%x %s\n", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(location)),
           location->expression->operator_name.c_str());
  }
  printf("-----------------");
}
