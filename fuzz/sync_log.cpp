// The log the file synchroniser writes (trans.log), read by the CSV export: any bytes must
// give a CSV whose first line is the header and whose every line ends in CR LF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "desktop/foundation/sync/sync_log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const std::u16string csv = BuildSyncLogCsv(in, nullptr);
  const std::u16string header = u"Time,File Name,Operation\r\n";
  if (csv.compare(0, header.size(), header) != 0) std::abort();
  if (csv.size() < 2 || csv.compare(csv.size() - 2, 2, u"\r\n") != 0) std::abort();
  return 0;
}
