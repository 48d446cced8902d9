// Stand-in of the sync network companion ("-c <account> -a <ip>"): no virtual network is
// made on Linux; it records its arguments and stays alive until signalled.
#include "desktop/foundation/sync/standins/standin_record.h"

int main(int argc, char** argv) {
  ks::sync_standin::Record("KestylSyncNet", argc, argv);
  ks::sync_standin::StayUntilSignalled();
}
