// The types a user function and its generated stub share, and the container
// overloads of pack_and_send / receive_and_unpack. Generated stubs begin with
// #include "wrapper_support.hxx"; user libraries include it for Range,
// DoubleRange, Matrix and ExcelChannel. Link with -lvelmor_channel.
//
// Container encoding, every element a unit of its own type:
//   count (an int unit; 0 for an empty or missing container), then the
//   elements in index order. An open-ended range (GetSize() == -1) goes as
//   -1, then index and element for 0, 1, 2, ... and finally the index -1.
//   A Matrix goes as its row count followed by each row as a vector (its
//   column count and its cells). Values with more than one pointer level go
//   flat, like one level.
#ifndef VELMOR_EXCHANGE_WRAPPER_SUPPORT_HXX_
#define VELMOR_EXCHANGE_WRAPPER_SUPPORT_HXX_

#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "data_exchange.h"

// Generated stubs write vector<...> and string unqualified, and a declared
// C string (char *) as qvtx_string.
using std::string;
using std::vector;
typedef char* qvtx_string;

// A sequence of values seen only through these four operations, so a user
// function may return any class derived from it.
template <class T>
class Range {
 public:
  // Number of elements, -1 when not known in advance (open-ended).
  virtual int GetSize() const = 0;
  // Element `index`; an open-ended range throws an int (-1) past its end.
  virtual T GetValue(int index) = 0;
  // The elements as one contiguous array, or null.
  virtual T* GetValue() = 0;
  virtual ~Range() {}
};

// Range<double> over an array it owns (from new[]).
class DoubleRange : public Range<double> {
 public:
  int size;
  double* value;

  DoubleRange(int size, double* value) : size(size), value(value) {}
  ~DoubleRange() override { delete[] value; }
  DoubleRange(const DoubleRange&) = delete;
  DoubleRange& operator=(const DoubleRange&) = delete;

  int GetSize() const override { return size; }
  double GetValue(int index) override { return value[index]; }
  double* GetValue() override { return value; }
};

// Deletes received C strings with free(), everything else needs nothing.
template <class E>
inline void release_element(E&) {}
inline void release_element(char*& text) {
  free(text);
  text = nullptr;
}

// The stub-side holder of a range-like value; n is the declared number of
// pointer levels. It owns what receive_and_unpack stores in it, for as long
// as it lives. SetValue lets it describe a caller's array instead (a record
// member being sent): its own array keeps its size, another non-null pointer
// counts as one element, null as none.
template <class T, int n = 1>
class ResultRange : public Range<T> {
 public:
  typedef typename std::remove_const<T>::type Element;

  ResultRange() : view_(nullptr), view_size_(0), viewing_(false) {}
  ~ResultRange() override { Clear(); }
  ResultRange(const ResultRange& other) : Range<T>(), view_(nullptr), view_size_(0), viewing_(false) {
    CopyFrom(other);
  }
  ResultRange& operator=(const ResultRange& other) {
    if (this != std::addressof(other)) {
      Clear();
      CopyFrom(other);
    }
    return *this;
  }

  int GetSize() const override { return viewing_ ? view_size_ : static_cast<int>(items_.size()); }
  T GetValue(int index) override {
    if (index < 0 || index >= GetSize()) throw -1;
    return Data()[index];
  }
  T* GetValue() override { return GetSize() > 0 ? Data() : nullptr; }

  // Const so that a record's const pack_and_send can aim it at a member.
  void SetValue(T* values) const {
    if (values != nullptr && !items_.empty() && values == items_.data()) {
      viewing_ = false;
      return;
    }
    viewing_ = true;
    view_ = values;
    view_size_ = values == nullptr ? 0 : 1;
  }

  void Clear() {
    for (auto& item : items_) release_element(item);
    items_.clear();
    viewing_ = false;
    view_ = nullptr;
    view_size_ = 0;
  }
  void Append(const Element& item) { items_.push_back(item); }
  void Reserve(int count) { items_.reserve(count); }
  // Element slot `index`, growing the array as needed (open-ended receive).
  Element& At(int index) {
    if (index >= static_cast<int>(items_.size())) items_.resize(index + 1, Element());
    return items_[index];
  }

  // A record's const pack_and_send takes the address of its holder as a
  // Range<T>*, and a channel class keeps it as a ResultRange*; being sent
  // leaves the holder logically unchanged, so its address converts to both.
  class Address {
   public:
    explicit Address(ResultRange* holder) : holder_(holder) {}
    operator ResultRange*() const { return holder_; }
    operator Range<T>*() const { return holder_; }
    ResultRange* operator->() const { return holder_; }

   private:
    ResultRange* holder_;
  };
  Address operator&() const { return Address(const_cast<ResultRange*>(this)); }

 private:
  T* Data() { return viewing_ ? view_ : reinterpret_cast<T*>(items_.data()); }
  void CopyFrom(const ResultRange& other) {
    items_ = other.items_;
    for (auto& item : items_) Duplicate(item);
    viewing_ = other.viewing_;
    view_ = other.view_;
    view_size_ = other.view_size_;
  }
  template <class E>
  static void Duplicate(E&) {}
  static void Duplicate(char*& text) {
    if (text != nullptr) text = strdup(text);
  }

  mutable std::vector<Element> items_;
  mutable T* view_;
  mutable int view_size_;
  mutable bool viewing_;
};

// A two-dimensional array of T, row by row.
template <class T>
class Matrix {
 public:
  typedef typename std::remove_const<T>::type Element;

  Matrix() : rows_(0), columns_(0) {}
  Matrix(int rows, int columns) : rows_(0), columns_(0) { Resize(rows, columns); }

  int GetRows() const { return rows_; }
  int GetColumns() const { return columns_; }
  // Sets the shape; cells that stay keep their value, new ones are T().
  void Resize(int rows, int columns) {
    if (rows < 0) rows = 0;
    if (columns < 0) columns = 0;
    std::vector<Element> cells(static_cast<size_t>(rows) * columns, Element());
    for (int r = 0; r < rows && r < rows_; r++)
      for (int c = 0; c < columns && c < columns_; c++)
        cells[static_cast<size_t>(r) * columns + c] = cells_[static_cast<size_t>(r) * columns_ + c];
    cells_.swap(cells);
    rows_ = rows;
    columns_ = columns;
  }
  Element& operator()(int row, int column) { return cells_[static_cast<size_t>(row) * columns_ + column]; }
  const Element& operator()(int row, int column) const {
    return cells_[static_cast<size_t>(row) * columns_ + column];
  }
  Element* operator[](int row) { return &cells_[static_cast<size_t>(row) * columns_]; }
  const Element* operator[](int row) const { return &cells_[static_cast<size_t>(row) * columns_]; }

 private:
  int rows_;
  int columns_;
  std::vector<Element> cells_;
};

// The channel through which a live thread streams values while it runs.
// Send returns 1 when the value went out, 0 once a value could not be
// delivered (the client has gone): from then on nothing more is delivered,
// and the stream is ended at its next Send (or its return) as if the client
// had stopped it.
template <class T>
class ExcelChannel {
 public:
  virtual int Send(T& value) = 0;
  virtual ~ExcelChannel() {}
};

// ---------------------------------------------------------------------------
// Container overloads.

// Proxy side: the stub's own value is never computed, so the worker's units
// are relayed one by one; the count (and in the open form each index) is read
// from the relayed texts. An element relays through its own overload, so a
// record relays member by member.
template <class T>
int relay_elements(DataExchange* de) {
  int count = 0;
  if (de->relay_unit(&count) <= 0) return 0;
  if (count == -1) {
    for (;;) {
      int index = 0;
      if (de->relay_unit(&index) <= 0) return 0;
      if (index == -1) return 1;
      typename std::remove_const<T>::type item{};
      if (pack_and_send(de, item) <= 0) return 0;
    }
  }
  for (int i = 0; i < count; i++) {
    typename std::remove_const<T>::type item{};
    if (pack_and_send(de, item) <= 0) return 0;
  }
  return 1;
}

// One element of a container, sent in place: a record keeps the link
// between its pointer members and their holders only while it is not copied.
template <class E>
int send_element(DataExchange* de, const E& item) {
  return pack_and_send(de, item);
}

template <class T>
int pack_open_range(DataExchange* de, Range<T>* value) {
  int marker = -1;
  if (pack_and_send(de, marker) <= 0) return 0;
  for (int index = 0;; index++) {
    typename std::remove_const<T>::type item{};
    try {
      item = value->GetValue(index);
    } catch (...) {
      // An open-ended range ends by throwing; anything else ends it too.
      return pack_and_send(de, marker) > 0 ? 1 : 0;
    }
    if (pack_and_send(de, index) <= 0) return 0;
    if (send_element(de, item) <= 0) return 0;
  }
}

template <class T>
int pack_and_send(DataExchange* de, Range<T>* value, int dimension = 1) {
  (void)dimension;
  if (de->GetDataServiceType() == PVM_PROXY_SERVICE) return relay_elements<T>(de);
  int size = value == nullptr ? 0 : value->GetSize();
  if (size == -1) return pack_open_range(de, value);
  if (size < 0) size = 0;
  if (pack_and_send(de, size) <= 0) return 0;
  // The contiguous array, when there is one, is sent without copies.
  T* array = size > 0 ? value->GetValue() : nullptr;
  for (int i = 0; i < size; i++) {
    if (array != nullptr) {
      if (send_element(de, array[i]) <= 0) return 0;
      continue;
    }
    typename std::remove_const<T>::type item = value->GetValue(i);
    if (send_element(de, item) <= 0) return 0;
  }
  return 1;
}

template <class T>
int pack_and_send(DataExchange* de, const std::vector<T>& value, int dimension = 1) {
  (void)dimension;
  if (de->GetDataServiceType() == PVM_PROXY_SERVICE) return relay_elements<T>(de);
  int size = static_cast<int>(value.size());
  if (pack_and_send(de, size) <= 0) return 0;
  for (const T& item : value)
    if (send_element(de, item) <= 0) return 0;
  return 1;
}

template <class T>
int pack_and_send(DataExchange* de, const Matrix<T>& value, int dimension = 2) {
  (void)dimension;
  if (de->GetDataServiceType() == PVM_PROXY_SERVICE) {
    int rows = 0;
    if (de->relay_unit(&rows) <= 0) return 0;
    for (int r = 0; r < rows; r++)
      if (relay_elements<T>(de) == 0) return 0;
    return 1;
  }
  int rows = value.GetRows();
  int columns = value.GetColumns();
  if (pack_and_send(de, rows) <= 0) return 0;
  for (int r = 0; r < rows; r++) {
    if (pack_and_send(de, columns) <= 0) return 0;
    for (int c = 0; c < columns; c++) {
      if (send_element(de, value(r, c)) <= 0) return 0;
    }
  }
  return 1;
}

// The largest container a client may send (a worksheet column); a larger
// count means a broken peer, and the channel stops reading rather than
// allocate without bound.
enum { MAX_CONTAINER_ELEMENTS = 1 << 20 };

// Reads a count or an open-form series into `put(index)` slots; a counted
// container is first given its room with `reserve(count)`, so that elements
// received in place are never moved (a record's pointer members point into
// its own holders). Returns 1, or 0 when the count is invalid or the channel
// is lost.
// A refused count or index leaves the rest of the container unread, so no
// later unit can be told apart from it: the call's arguments are lost, and
// the call ends at done_with_arguments instead of running on a guess.
inline int refuse_container(DataExchange* de) {
  fprintf(stderr, "Container count or index out of range: the call is abandoned\n");
  de->conversation_over = 1;
  return 0;
}

template <class Reserve, class Slot>
int receive_elements(DataExchange* de, Reserve reserve, Slot put) {
  int count = 0;
  receive_and_unpack(de, count);
  if (!de->is_open()) return 0;
  if (count == -1) {
    for (;;) {
      int index = 0;
      receive_and_unpack(de, index);
      if (!de->is_open()) return 0;
      if (index == -1) return 1;
      if (index < 0 || index >= MAX_CONTAINER_ELEMENTS) return refuse_container(de);
      if (put(index) == 0 || !de->is_open()) return 0;
    }
  }
  if (count < 0 || count > MAX_CONTAINER_ELEMENTS) return refuse_container(de);
  reserve(count);
  for (int i = 0; i < count; i++)
    if (put(i) == 0 || !de->is_open()) return 0;
  return 1;
}

template <class T, int n>
int receive_and_unpack(DataExchange* de, ResultRange<T, n>& value, int dimension = n) {
  (void)dimension;
  value.Clear();
  return receive_elements(
      de, [&](int count) { value.Reserve(count); },
      [&](int index) { return receive_and_unpack(de, value.At(index)); });
}

template <class T>
int receive_and_unpack(DataExchange* de, std::vector<T>& value, int dimension = 1) {
  (void)dimension;
  value.clear();
  return receive_elements(de, [&](int count) { value.reserve(count); }, [&](int index) {
    if (index >= static_cast<int>(value.size())) value.resize(index + 1, T());
    return receive_and_unpack(de, value[index]);
  });
}

template <class T>
int receive_and_unpack(DataExchange* de, Matrix<T>& value, int dimension = 2) {
  (void)dimension;
  std::vector<std::vector<typename Matrix<T>::Element>> rows;
  int ok = receive_and_unpack(de, rows);
  size_t columns = 0;
  for (const auto& row : rows)
    if (row.size() > columns) columns = row.size();
  value = Matrix<T>(static_cast<int>(rows.size()), static_cast<int>(columns));
  for (size_t r = 0; r < rows.size(); r++)
    for (size_t c = 0; c < rows[r].size(); c++) value(static_cast<int>(r), static_cast<int>(c)) = rows[r][c];
  return ok;
}

#endif
