#include "wrapper_generate.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "declaration_check.h"
#include "externals.h"
#include "mangled_list.h"
#include "stub_writer.h"
#include "vba_writer.h"
#include "wrapper_directory.h"
#include "wrapper_reader.h"

// Maps every library that this very file listed (lstart holds those of all
// files read so far).
static void map_libraries_of(const char* file_name) {
  for (Lib* lib = lstart; lib != NULL; lib = lib->next) {
    if (strcmp(lib->file_at_work, file_name) == 0) map_mangled_demangled(lib->libname);
  }
}

static FILE* create_output(const char* path, const char* failure) {
  printf("creating %s file\n", path);
  FILE* f = fopen(path, "w");
  if (f == NULL) fprintf(stderr, failure, path);
  return f;
}

static void time_stamp_of(const char* file_name, char* out, size_t size) {
  struct stat st;
  time_t t = lstat(file_name, &st) == 0 ? st.st_mtime : 0;
  struct tm utc;
  gmtime_r(&t, &utc);
  if (strftime(out, size, "%d %b %Y %T %Z", &utc) == 0) out[0] = '\0';
}

static void write_declarations(FILE* bas, FILE* cpp, char* module, Llist<ExternDefinition*>* list,
                               ExecutionType kind) {
  for (Llist<ExternDefinition*>* n = list; n != NULL; n = n->next) {
    ExternDefinition* d = n->data;
    d->check_and_set_udt(wp_ltype);
    d->Write_pri_excel_stub(bas, module, kind);
    d->Write_pub_excel_stub(bas, module, kind);
    d->Write_new_tarrow_stub(cpp, kind);
  }
}

static void write_record_types(FILE* bas, FILE* cpp) {
  for (Llist<ExternDefinition*>* n = wp_ltype; n != NULL; n = n->next) n->data->Write_new_class_externs(cpp);
  fprintf(cpp, "\n");
  for (Llist<ExternDefinition*>* n = wp_ltype; n != NULL; n = n->next) n->data->Write_new_udt_array_type_defn(bas);
  write_vba_ubound_function(bas);
  for (Llist<ExternDefinition*>* n = wp_ltype; n != NULL; n = n->next) {
    ExternDefinition* d = n->data;
    d->Debug();
    d->check_and_set_udt(wp_ltype);
    d->Write_new_vba_type_functions(bas);
    d->Write_new_class_definition(cpp);
  }
}

// Reads the file with the wrapper-side reader; module receives its name.
static int read_definition_file(const char* file_name, char* module, size_t size) {
  FILE* in = NULL;
  if (module_name_of(file_name, module, size)) in = fopen(file_name, "r");
  if (in == NULL) {
    fprintf(stderr, "File (%s) open error!\n", file_name);
    return 0;
  }
  int read = wp_read_file(in, file_name, module);
  fclose(in);
  return read;
}

int wrapper_read_definitions(const char* file_name) {
  char module[WRAPPER_PATH_SIZE + 4];
  return read_definition_file(file_name, module, sizeof(module));
}

int wrapper_generate_code(const char* file_name) {
  char module[WRAPPER_PATH_SIZE + 4];
  if (!read_definition_file(file_name, module, sizeof(module))) return 0;

  map_libraries_of(file_name);
  char path[2 * WRAPPER_PATH_SIZE + 32];
  snprintf(path, sizeof(path), "%s/map.info", wrapper_directory);
  mangled_list.load(path);

  snprintf(path, sizeof(path), "%s/%s.bas", wrapper_directory, module);
  FILE* bas = create_output(path, "Unable to open excel wrapper file: %s\n");
  if (bas == NULL) return 0;
  snprintf(path, sizeof(path), "%s/%s.cpp", wrapper_directory, module);
  FILE* cpp = create_output(path, "Unable to open tarrow wrapper file: %s\n");
  if (cpp == NULL) {
    fclose(bas);
    return 0;
  }

  char stamp[128];
  time_stamp_of(file_name, stamp, sizeof(stamp));
  write_vba_banner(bas);
  write_cpp_banner(cpp);
  write_vba_last_updated_time(bas, stamp);
  printf("generating type routines...\n");
  write_cpp_include(cpp);
  wp_ltype = Llist<ExternDefinition*>::Reverse(wp_ltype);
  leave_out_faulty_declarations(file_name, module);
  write_record_types(bas, cpp);

  printf("generating live thread classes...\n");
  write_declarations(bas, cpp, module, wp_llive_thread, EXECUTE_AS_LIVE_THREAD);
  printf("generating thread routines...\n");
  write_declarations(bas, cpp, module, wp_lthread, EXECUTE_AS_THREAD);
  printf("generating function routines...\n");
  write_declarations(bas, cpp, module, wp_lfun, EXECUTE_AS_FUNCTION);
  write_vba_closing_functions(bas, module);
  fclose(cpp);
  fclose(bas);
  return 1;
}
