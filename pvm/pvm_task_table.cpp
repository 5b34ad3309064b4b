#include "pvm_task_table.h"

PVM_Task_Table pvm_task_manager;
