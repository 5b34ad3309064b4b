// The declarations the client types its arguments by: collected from a
// definition file or from the server's "givemedefn" catalogue, each with its
// kind, and turned into a CallSignature with the prototype parser.
//
// Not thread-safe, not even between two books: read_file and lookup run the
// prototype parser, whose state is process-wide. Threads that call at once
// type their calls first, or serialise these calls.
#ifndef VELMOR_CLIENT_DEFINITION_BOOK_H_
#define VELMOR_CLIENT_DEFINITION_BOOK_H_

#include <string>
#include <vector>

#include "value_shape.h"

class DefinitionBook {
 public:
  // Kinds as the catalogue numbers them.
  enum Kind { RECORD = 0, FUNCTION = 1, THREAD = 2, STREAM = 3 };

  void add(Kind kind, const std::string& text);
  // One "givemedefn" answer, "%d~%s". False when it is not of that form.
  bool add_catalogue_line(const std::string& line);
  // The TYPES, FUNCTIONS, THREADS and STREAMS entries of a definition file.
  bool read_file(const std::string& path, std::string* error);

  // The signature of a function, thread or stream declared under name.
  bool lookup(const std::string& name, CallSignature* out, std::string* error) const;
  // Every declaration text of the book with its kind, in the order added.
  const std::vector<std::pair<Kind, std::string>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<Kind, std::string>> entries_;
};

// The declared name of a declaration text: the word before its "(".
std::string declared_name(const std::string& text);

#endif
