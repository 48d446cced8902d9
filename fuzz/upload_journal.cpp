// Fuzzes the upload resume journal parser (a 288-byte record read back from disk) and
// checks that whatever it accepts survives a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "agent/handlers/upload/journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ks::upload::UploadJournal first;
  if (!ks::upload::ParseJournal(data, size, first)) return 0;
  auto record = ks::upload::EncodeJournal(first);
  ks::upload::UploadJournal second;
  if (!ks::upload::ParseJournal(record.data(), record.size(), second) || second.target != first.target ||
      second.fingerprint != first.fingerprint)
    std::abort();
  // Collision names of any accepted target keep the target in front.
  std::string name = ks::upload::CollisionName(first.target, 7);
  if (name.compare(0, first.target.size(), first.target) != 0) std::abort();
  return 0;
}
