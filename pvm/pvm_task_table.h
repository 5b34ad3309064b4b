// PLACEHOLDER: replaced by the PVM task table.
#ifndef VELMOR_PVM_PVM_TASK_TABLE_H_
#define VELMOR_PVM_PVM_TASK_TABLE_H_

#define ANY_TASK (-1)

class PVM_Task_Table {
 public:
  int create_pvm_task(int index) { (void)index; return 0; }
  int get_task_id(int index) { (void)index; return 0; }
};

extern PVM_Task_Table pvm_task_manager;

#endif
