// Run time of the client's tasks, counted in executing cycles weighted by the
// cycle's correction factor.
#include <string>

#include "accounting/accounting.h"
#include "driver/collector.h"
#include "driver/text.h"

void count_executing_task(Collector& c, const std::string& name, const std::string& description) {
  c.tables.Run[name + ";" + description] += c.correction_factor;
}

void report_completed_task(Collector& c, const std::string& name) {
  Tables& t = c.tables;
  auto result = t.Result.find(name);
  const std::string description = result == t.Result.end() ? std::string() : result->second;
  const std::string run_key = name + ";" + description;
  auto run = t.Run.find(run_key);
  if (run == t.Run.end()) return;
  int count = truncate_to_int(run->second);
  auto resources = t.resources_table.find(run_key);
  if (resources != t.resources_table.end()) {
    c.out.printf("%d;run;%s;%s;%d;%s;\n", c.cycle_start_time, name.c_str(), description.c_str(),
                 count, resources->second.c_str());
    t.resources_table.erase(resources);
  } else {
    c.out.printf("%d;run;%s;%s;%d;\n", c.cycle_start_time, name.c_str(), description.c_str(),
                 count);
  }
  t.Run.erase(run);
}
