#include "persistence/tables.h"

void Tables::clear_per_task_tables() {
  Active_project.clear();
  Dl_app.clear();
  Project.clear();
  App.clear();
  Platform.clear();
  New_wu.clear();
  New_wu_counted.clear();
  Activetask_list.clear();
}
