// The table of PVM worker tasks: one slot per worker process of the server.
//
// MAX_PVM_PROCESSES switches distributed execution on: an integer above 0 is
// the number of slots; unset, not a number or not above 0 means off, and then
// no operation touches PVM. Each server worker process starts the task of its
// own slot (create_pvm_task) before it serves; its connection handler asks for
// that task (get_task_id) to decide whether calls go to PVM. The process-pool
// handler asks with ANY_TASK and so never gets a task.
//
// The task is the start script "$VELMOR_BIN_DIR/Velmor.sh", run by PVM with
// "pvm_start" and the working directory; it starts pvm_worker there with the
// definition files listed in VELMOR_DEFINITION_FILES (one per line), which
// create_pvm_task fills from the program's command line when it is unset.
#ifndef VELMOR_PVM_PVM_TASK_TABLE_H_
#define VELMOR_PVM_PVM_TASK_TABLE_H_

#include <vector>

struct pvm_task_struct {
  int task_id;      // PVM task id of the worker, 0 when none
  int task_status;  // 1 once started
};

class PVM_Task_Table {
 public:
  // An index that names no slot; asking for it yields no task.
  static const int ANY_TASK = -1;

  std::vector<pvm_task_struct> pvm_task_ids;
  int pool_size;  // 0: distributed execution is off

  // Reads MAX_PVM_PROCESSES.
  PVM_Task_Table();
  // Kills every task this process started.
  ~PVM_Task_Table();

  // Starts the task of slot `index` unless it has one; returns its id, or 0
  // when off or `index` is outside the table. Ends the process (status 1)
  // when PVM cannot start the task.
  int create_pvm_task(int index);
  // The task id of slot `index`; 0 when off, outside the table or no task.
  // A task that a receive found dead is replaced first (create_pvm_task).
  int get_task_id(int index);
  // Kills the slot's task and clears it; returns the slot's id afterwards (0).
  int end_task_id(int index);

  // How MAX_PVM_PROCESSES reads: its value when an integer above 0, else 0.
  static int pool_size_from(const char* text);

 private:
  int inside(int index) const;
};

const int ANY_TASK = PVM_Task_Table::ANY_TASK;

extern PVM_Task_Table pvm_task_manager;

#endif
