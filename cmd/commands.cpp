#include "cmd/commands.h"

#include "cmd/statistic.h"
#ifdef KS_CMD_HAVE_REGISTRY
#include "cmd/shell_folder.h"
#endif
#ifdef KS_CMD_HAVE_DB
#include "cmd/db_adaption.h"
#endif

namespace ks::cmd {

Commands ProgramCommands(const std::string& program_folder) {
  Commands c;
#ifdef KS_CMD_HAVE_REGISTRY
  c.register_shell_folder = &RegisterShellFolder;
#endif
#ifdef KS_CMD_HAVE_DB
  c.adapt_database = &AdaptDatabase;
#endif
  c.send_statistic = [program_folder](const StatisticValues& v) { return SendStatistic(v, program_folder); };
  return c;
}

}  // namespace ks::cmd
