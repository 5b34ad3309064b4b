// The function registry: loading definition files into modules, loading
// their libraries, and the look-ups the request protocol makes.
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <new>

#include "bounded_copy.h"
#include "symbol_table.h"
#include "df_exception.h"
#include "df_interface.h"
#include "definition_reader.h"
#include "formula_manager.h"
#include "tarrow.h"
#include "wrapper_directory.h"
#include "wrapper_reader.h"

namespace {

ExternDefinition* find_declaration(Llist<ExternDefinition*>* list, const char* name) {
  for (Llist<ExternDefinition*>* d = list; d != nullptr; d = d->next) {
    if (d->data->NameMatch(name)) return d->data;
  }
  return nullptr;
}

// Among the declarations of the registry's modules only: after a reload the
// reader's lists still hold those of replaced and removed files.
ExternDefinition* find_registered(DeclarationSlice FormulaManager::*kind,
                                  Llist<ExternDefinition*>* all, const char* name) {
  if (FS.fm_list == nullptr) return find_declaration(all, name);
  for (FormulaManager* fm = FS.fm_list; fm != nullptr; fm = fm->next) {
    ExternDefinition* d = find_in_slice(fm->*kind, name);
    if (d != nullptr) return d;
  }
  return nullptr;
}

// Only what the module's definition file publishes may be called.
bool is_declared_function(FormulaManager* fm, const char* name) {
  return find_in_slice(fm->functions, name) != nullptr ||
         find_in_slice(fm->threads, name) != nullptr ||
         find_in_slice(fm->live_threads, name) != nullptr;
}

// dlsym on a handle also searches the library's dependencies (the C
// library's exit, say): accept only a symbol defined in the stub itself.
bool lies_in_library(void* handle, void* symbol) {
  struct link_map* own = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 || own == nullptr) return false;
  Dl_info info;
  struct link_map* found = nullptr;
  if (dladdr1(symbol, &info, (void**)&found, RTLD_DL_LINKMAP) == 0) return false;
  return found == own;
}

void add_formula(const char* book, Formula* f) {
  try {
    add_an_entry(book, f->usageName, f->appName != nullptr ? f->appName : "");
  } catch (Exception& e) {
    fprintf(stderr, "Unable to register formula %s of %s (error %d, %s), skipped.\n",
            f->usageName, book, e.ExceptionID, e.dumpstr);
  } catch (...) {
    fprintf(stderr, "Unable to register formula %s of %s, skipped.\n", f->usageName, book);
  }
}

void print_formulae(Formula* list) {
  for (Formula* f = list; f != nullptr; f = f->next) {
    printf("\t%s\t=\t%s\n", f->usageName, f->appName != nullptr ? f->appName : "");
  }
}

}  // namespace

int Tarrow::load_formulae(char* file) {
  char module[PROTOFILE_NAME_SIZE];
  if (!module_name_of(file, module, sizeof(module))) {
    fprintf(stderr, "Oops! unable to open formula file `%s'\n", file);
    return 0;
  }
  FILE* in = fopen(file, "r");
  if (in == nullptr) {
    fprintf(stderr, "Oops! unable to open formula file `%s'\n", file);
    return 0;
  }
  FormulaManager* fm = new (std::nothrow) FormulaManager();
  char* name = strdup(module);
  if (fm == nullptr || name == nullptr) {
    fprintf(stderr, "Memory allocation failure, while load %s\n", file);
    delete fm;
    free(name);
    fclose(in);
    return 0;
  }
  struct stat st;
  if (lstat(file, &st) == 0) format_time_stamp((long)st.st_mtime, fm->time_stamp, TIME_STAMP_SIZE);
  read_file_identity(file, &fm->file_identity);
  snprintf(fm->protofile_name, sizeof(fm->protofile_name), "%s", file);
  fm->formula_name = name;

  Llist<ExternDefinition*>* functions_end = lfun;
  Llist<ExternDefinition*>* threads_end = lthread;
  Llist<ExternDefinition*>* live_threads_end = llive_thread;
  py_read_file(in);
  fm->functions = {lfun, functions_end};
  fm->threads = {lthread, threads_end};
  fm->live_threads = {llive_thread, live_threads_end};
  fm->fstart = fstart;
  fm->gstart = gstart;
  fm->mstart = mstart;
  fm->next = fm_list;
  fm_list = fm;
  fclose(in);
  return 1;
}

void module_stub_path(const FormulaManager* fm, char* path) {
  if (fm->stub_path[0] != '\0') {
    bounded_strcpy(path, fm->stub_path, VELMOR_PATH_SIZE);
    return;
  }
  bounded_strcpy(path, wrapper_directory, VELMOR_PATH_SIZE);
  bounded_strcat(path, "/", VELMOR_PATH_SIZE);
  bounded_strcat(path, fm->formula_name, VELMOR_PATH_SIZE);
  bounded_strcat(path, ".so", VELMOR_PATH_SIZE);
}

bool is_registered_file(const char* file) {
  for (FormulaManager* fm = FS.fm_list; fm != nullptr; fm = fm->next)
    if (strcmp(fm->protofile_name, file) == 0) return true;
  return false;
}

int Tarrow::readConfiguration() {
  load_libraries();
  register_formulae(fm_list);
  return 1;
}

void Tarrow::load_libraries() {
  printf("Loading libraries defined within prototype file\n");
  for (Lib* lib = lstart; lib != nullptr; lib = lib->next) {
    printf("1.Loading library : %s\n", lib->libname);
    if (dlopen(lib->libname, RTLD_NOW) == nullptr) {
      fprintf(stderr, "%s\n", dlerror());
      exit(1);
    }
  }
  for (FormulaManager* fm = fm_list; fm != nullptr; fm = fm->next) {
    char path[VELMOR_PATH_SIZE];
    module_stub_path(fm, path);
    printf("2.Loading library : %s\n", path);
    void* handle = dlopen(path, RTLD_NOW);
    if (handle == nullptr) {
      const char* error = dlerror();
      debug(path);
      debug(error);
      fprintf(stderr, "%s\n", error);
      exit(1);
    }
    fm->module_handle = handle;
    fm->module_loaded = 1;
  }
}

void Tarrow::load_worker_libraries() {
  for (Lib* lib = lstart; lib != nullptr; lib = lib->next) {
    // The reader's list also holds libraries of files no longer served.
    if (lib->file_at_work != nullptr && !is_registered_file(lib->file_at_work)) continue;
    if (dlopen(lib->libname, RTLD_NOW) == nullptr)
      fprintf(stderr, "Unable to load library %s: %s\n", lib->libname, dlerror());
  }
  for (FormulaManager* fm = fm_list; fm != nullptr; fm = fm->next) {
    char path[VELMOR_PATH_SIZE];
    module_stub_path(fm, path);
    fm->module_handle = dlopen(path, RTLD_NOW);
    fm->module_loaded = fm->module_handle != nullptr;
    if (!fm->module_loaded)
      fprintf(stderr, "Unable to load module %s (%s): %s; its calls fail\n", fm->formula_name, path,
              dlerror());
  }
}

void register_formulae(FormulaManager* list) {
  for (FormulaManager* fm = list; fm != nullptr; fm = fm->next) {
    for (Formula* f = fm->fstart; f != nullptr; f = f->next) add_formula(fm->formula_name, f);
    char book[VELMOR_PATH_SIZE];
    bounded_strcpy(book, fm->formula_name, VELMOR_PATH_SIZE);
    bounded_strcat(book, "_GEN_", VELMOR_PATH_SIZE);
    for (Formula* f = fm->gstart; f != nullptr; f = f->next) add_formula(book, f);
  }
}

void unregister_formulae(FormulaManager* list) {
  for (FormulaManager* fm = list; fm != nullptr; fm = fm->next) {
    delete_all_formula_entries(fm->formula_name);
    char book[VELMOR_PATH_SIZE];
    bounded_strcpy(book, fm->formula_name, VELMOR_PATH_SIZE);
    bounded_strcat(book, "_GEN_", VELMOR_PATH_SIZE);
    delete_all_formula_entries(book);
  }
}

int Tarrow::printConfiguration() {
  printf("\n");
  for (FormulaManager* fm = fm_list; fm != nullptr; fm = fm->next) {
    printf("\n------- %s ------\n", fm->formula_name);
    printf("formulae :\n");
    print_formulae(fm->fstart);
    printf("generators :\n");
    print_formulae(fm->gstart);
    printf("modules :\n");
    for (Node* n = fm->mstart; n != nullptr; n = n->next) printf("\t%s\n", n->data);
  }
  fflush(stdout);
  return 1;
}

int Tarrow::IsProtoConsistent(char* module, char* stamp) {
  FormulaManager* fm = find_module(fm_list, module);
  return fm != nullptr && strcasecmp(fm->time_stamp, stamp) == 0;
}

int Tarrow::GetProtoTimeStamp(char* module, char* out) {
  FormulaManager* fm = find_module(fm_list, module);
  if (fm == nullptr) return 0;
  size_t len = strlen(fm->time_stamp);
  memcpy(out, fm->time_stamp, len + 1);
  return (int)len;
}

REMFUN Tarrow::getRemoteFunction(char* module, char* function) {
  fprintf(stderr, "calling %s.%s\n", module, function);
  FormulaManager* fm = find_module(fm_list, module);
  if (fm == nullptr) {
    fprintf(stderr,
            "Unable to find `%s' module, most probably it is not loaded into Velmord.\n", module);
    return nullptr;
  }
  if (!fm->module_loaded) {
    fprintf(stderr, "%s module is not loaded.\n", module);
    return nullptr;
  }
  if (!is_declared_function(fm, function)) {
    fprintf(stderr, "Error in loading function %s from module %s, error:  %s\n", function,
            module, "not declared in the module's prototype file");
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(fm->module_handle, function);
  if (symbol == nullptr) {
    const char* error = dlerror();
    if (error != nullptr) {
      fprintf(stderr, "Error in loading function %s from module %s, error:  %s\n", function,
              module, error);
    }
    return nullptr;
  }
  if (!lies_in_library(fm->module_handle, symbol)) {
    fprintf(stderr, "Error in loading function %s from module %s, error:  %s\n", function,
            module, "not defined in the module's stub library");
    return nullptr;
  }
  return reinterpret_cast<REMFUN>(symbol);
}

ExecutionType Tarrow::find_execution_type(char* function) {
  if (find_registered(&FormulaManager::threads, lthread, function) != nullptr)
    return EXECUTE_AS_THREAD;
  if (find_registered(&FormulaManager::live_threads, llive_thread, function) != nullptr)
    return EXECUTE_AS_LIVE_THREAD;
  return EXECUTE_AS_FUNCTION;
}

ExecutionType Tarrow::find_execution_type(char* module, char* function) {
  FormulaManager* fm = find_module(fm_list, module);
  if (fm == nullptr) return find_execution_type(function);
  if (find_in_slice(fm->threads, function) != nullptr) return EXECUTE_AS_THREAD;
  if (find_in_slice(fm->live_threads, function) != nullptr) return EXECUTE_AS_LIVE_THREAD;
  return EXECUTE_AS_FUNCTION;
}

int is_external_and_returns_array(const char* name) {
  ExternDefinition* d = find_registered(&FormulaManager::functions, lfun, name);
  return d != nullptr && d->DoesReturnArray();
}
