#include "cmd/commands.h"

#include "cmd/statistic.h"

namespace ks::cmd {

Commands ProgramCommands(const std::string& program_folder) {
  Commands c;
  c.send_statistic = [program_folder](const StatisticValues& v) { return SendStatistic(v, program_folder); };
  return c;
}

}  // namespace ks::cmd
