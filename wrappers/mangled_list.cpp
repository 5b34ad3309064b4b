#include "mangled_list.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "system_info.h"
#include "wrapper_directory.h"

MangledList mangled_list;

// Copies text into *dst (room bytes left), terminated, and advances past it.
static char* store_text(char** dst, size_t* room, const char* text) {
  char* start = *dst;
  if (*room == 0) return NULL;
  size_t n = strlen(text);
  if (n >= *room) n = *room - 1;
  memcpy(start, text, n);
  start[n] = '\0';
  *dst += n + 1;
  *room -= n + 1;
  return start;
}

bool MangledInfo::Fits(const char* file, const char* mangled, const char* unmangled) {
  size_t need = strlen(file) + 1 + strlen(mangled) + 1 + (unmangled ? strlen(unmangled) + 1 : 0);
  return need <= sizeof(MangledInfo::line);
}

MangledInfo::MangledInfo(char* file_text, char* mangled, char* unmangled) {
  char* next = line;
  size_t room = sizeof(line);
  file = store_text(&next, &room, file_text ? file_text : "");
  mangled_function = store_text(&next, &room, mangled ? mangled : "");
  unmangled_function = unmangled ? store_text(&next, &room, unmangled) : NULL;
}

bool MangledInfo::Match(char* name) {
  return unmangled_function != NULL && strcmp(unmangled_function, name) == 0;
}

// Cuts *cursor at the first of the stop characters; returns the field, or NULL
// when the text has ended.
static char* next_field(char** cursor, const char* stops) {
  char* start = *cursor;
  if (start == NULL || *start == '\0') return NULL;
  char* end = start + strcspn(start, stops);
  if (*end == '\0') {
    *cursor = NULL;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return start;
}

// Reads one whole line, however long, into *text (grown as needed, owned by
// the caller, freed with free). Returns 0 at the end of the file.
static int read_whole_line(FILE* f, char** text, size_t* size) {
  return getline(text, size, f) >= 0 ? 1 : 0;
}

// A symbol of a versioned library is listed as NAME@@VERSION (the version
// the loader binds to NAME) or NAME@VERSION (an older one, which it does not):
// cuts the first to NAME and returns false for the second.
static bool bindable_name(char* text) {
  char* at = strchr(text, '@');
  if (at == NULL) return true;
  if (at[1] != '@') return false;
  *at = '\0';
  return true;
}

int MangledList::load(char* path) {
  FILE* f = fopen(path, "r");
  if (f == NULL) return 1;
  char* text = NULL;
  size_t size = 0;
  // A line is taken whole: the readable form of a symbol may be far longer
  // than any fixed line, and a split line would start a record of its own.
  while (read_whole_line(f, &text, &size)) {
    char* cursor = text;
    char* file = next_field(&cursor, "~\n");
    char* symbol = next_field(&cursor, "~\n");
    char* plain = next_field(&cursor, "~ (\n");
    if (file == NULL || symbol == NULL || plain == NULL) continue;
    if (!bindable_name(symbol) || !bindable_name(plain)) continue;
    if (!MangledInfo::Fits(file, symbol, plain)) {
      // Cut, the symbol would name another function or none.
      fprintf(stderr, "symbol of %s in %s is too long (%d characters), it gets no stub\n", plain,
              file, (int)strlen(symbol));
      continue;
    }
    // A symbol equal to its plain name has C linkage.
    Llist<MangledInfo*>** list = strcmp(symbol, plain) == 0 ? &c_info : &info;
    MangledInfo* record = new MangledInfo(file, symbol, plain);
    *list = new Llist<MangledInfo*>(record, *list);
  }
  free(text);
  fclose(f);
  return 1;
}

static MangledInfo* find_in(Llist<MangledInfo*>* list, char* name) {
  for (Llist<MangledInfo*>* node = list; node != NULL; node = node->next) {
    if (node->data->Match(name)) return node->data;
  }
  return NULL;
}

MangledInfo* MangledList::find(char* name) {
  MangledInfo* cpp = find_in(info, name);
  return cpp != NULL ? cpp : find_in(c_info, name);
}

static void remove_line_end(char* line) {
  size_t n = strlen(line);
  if (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[n - 1] = '\0';
}

// Command so far + redirect + wrapper directory (+ "/") + work file name.
static std::string listing_command(const char* templ, const char* library, const char* redirect,
                                   const char* work_file) {
  std::string target = wrapper_directory;
  if (target.empty() || target.back() != '/') target += '/';
  target += work_file;
  return fill_command_template(templ, library) + redirect + shell_word(target.c_str());
}

static std::string work_file_path(const char* name) {
  std::string path = wrapper_directory;
  if (path.empty() || path.back() != '/') path += '/';
  return path + name;
}

static FILE* open_listing(const std::string& path) {
  FILE* f = fopen(path.c_str(), "r");
  if (f == NULL) fprintf(stderr, "Unable to read %s file\n", path.c_str());
  return f;
}

// The readable form starts after the first blank or "*" that comes before the
// first "(" (a result type written in front of the name).
static const char* readable_form(const char* demangled) {
  const char* stop = demangled + strcspn(demangled, " *(");
  return (*stop == ' ' || *stop == '*') ? stop + 1 : demangled;
}

// The two listings pair line by line, each line taken whole: a long readable
// form cut in two would shift every later pairing by one, binding the stubs
// after it to other functions' symbols.
static void append_map_lines(FILE* mangled, FILE* demangled, FILE* map, const char* library) {
  char* symbol = NULL;
  char* readable = NULL;
  size_t symbol_size = 0, readable_size = 0;
  while (!feof(mangled) && !feof(demangled)) {
    if (!read_whole_line(mangled, &symbol, &symbol_size)) break;
    remove_line_end(symbol);
    fprintf(map, "%s~%s~", library, symbol);
    if (!read_whole_line(demangled, &readable, &readable_size)) break;
    remove_line_end(readable);
    fprintf(map, "%s~\n", readable_form(readable));
  }
  free(readable);
  free(symbol);
}

int map_mangled_demangled(char* shared_object_file) {
  FILE* library = fopen(shared_object_file, "r");
  if (library == NULL) {
    fprintf(stderr, "shared object file %s is MISSING... please check it out.\n",
            shared_object_file);
    return 0;
  }
  fclose(library);

  char line[1024];
  const char* templ = get_compiler_command("LINUX-NM-MANGLED", line);
  if (templ == NULL) {
    fprintf(stderr, "unable to get LINUX-NM-MANGLED command from system.info file\n");
    return 0;
  }
  int status = system(listing_command(templ, shared_object_file, "  > ", "nm_mangled").c_str());
  templ = get_compiler_command("LINUX-NM-DEMANGLED", line);
  if (templ == NULL) {
    fprintf(stderr, "unable to get LINUX-NM-DEMANGLED command from system.info file\n");
    return 0;
  }
  status = system(listing_command(templ, shared_object_file, " > ", "nm_demangled").c_str());
  (void)status;  // a lister that fails leaves empty listings, which map to nothing

  FILE* mangled = open_listing(work_file_path("nm_mangled"));
  if (mangled == NULL) return 0;
  FILE* demangled = open_listing(work_file_path("nm_demangled"));
  if (demangled == NULL) {
    fclose(mangled);
    return 0;
  }
  char map_path[WRAPPER_PATH_SIZE + 1];
  map_info_path(map_path);
  FILE* map = fopen(map_path, "a");
  if (map == NULL) {
    fprintf(stderr, "unable to open %s for writing\n", map_path);
    fclose(mangled);
    fclose(demangled);
    return 0;
  }
  append_map_lines(mangled, demangled, map, shared_object_file);
  fclose(map);
  fclose(demangled);
  fclose(mangled);
  return 1;
}
