// The task table with distributed execution off: nothing touches PVM.
#include "pvm_task_table.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace {

TEST(PvmTaskTable, PoolSizeFromMaxPvmProcesses) {
  struct Case { const char* text; int size; } cases[] = {
      {NULL, 0}, {"", 0}, {"0", 0}, {"-3", 0}, {"four", 0}, {"4x", 0},
      {"4", 4}, {" 2", 2}, {"1", 1}, {"99999999999999999999", 0}, {"1000000", 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PVM_Task_Table::pool_size_from(c.text), c.size) << (c.text ? c.text : "(unset)");
}

TEST(PvmTaskTable, OffTableAnswersZeroWithoutTouchingPvm) {
  const char* values[] = {NULL, "0", "-1", "many"};
  for (const char* value : values) {
    if (value) setenv("MAX_PVM_PROCESSES", value, 1); else unsetenv("MAX_PVM_PROCESSES");
    PVM_Task_Table table;
    EXPECT_EQ(table.pool_size, 0);
    EXPECT_TRUE(table.pvm_task_ids.empty());
    // With PVM off no daemon is needed: these would fail or hang otherwise.
    EXPECT_EQ(table.create_pvm_task(0), 0);
    EXPECT_EQ(table.get_task_id(0), 0);
    EXPECT_EQ(table.get_task_id(ANY_TASK), 0);
    EXPECT_EQ(table.end_task_id(0), 0);
  }
}

TEST(PvmTaskTable, LookupsOutsideTheTableAndEmptySlotsGiveZero) {
  setenv("MAX_PVM_PROCESSES", "3", 1);
  PVM_Task_Table table;
  ASSERT_EQ(table.pool_size, 3);
  ASSERT_EQ(table.pvm_task_ids.size(), 3u);
  for (const pvm_task_struct& slot : table.pvm_task_ids) {
    EXPECT_EQ(slot.task_id, 0);
    EXPECT_EQ(slot.task_status, 0);
  }
  table.pvm_task_ids[1].task_id = 262145;  // as if slot 1 had started its task
  table.pvm_task_ids[1].task_status = 1;
  EXPECT_EQ(table.get_task_id(1), 262145);
  EXPECT_EQ(table.get_task_id(0), 0);
  EXPECT_EQ(table.get_task_id(3), 0);
  EXPECT_EQ(table.get_task_id(-2), 0);
  EXPECT_EQ(table.get_task_id(ANY_TASK), 0);
  EXPECT_EQ(table.get_task_id(PVM_Task_Table::ANY_TASK), 0);
  table.pvm_task_ids[1].task_id = 0;  // keep the destructor away from PVM
}

TEST(PvmTaskTable, CreateOutsideTheTableStartsNothing) {
  setenv("MAX_PVM_PROCESSES", "2", 1);
  PVM_Task_Table table;
  testing::internal::CaptureStdout();
  EXPECT_EQ(table.create_pvm_task(2), 0);
  EXPECT_EQ(table.create_pvm_task(ANY_TASK), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(table.end_task_id(5), 0);
  EXPECT_EQ(table.pvm_task_ids[0].task_id, 0);
  EXPECT_EQ(table.pvm_task_ids[1].task_id, 0);
}

}  // namespace
