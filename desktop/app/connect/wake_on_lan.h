// Wake-on-LAN set-up: lets every network adapter wake the machine, as far as the registry
// of the installation records it.
//
// The device class key of network adapters, HKLM kAdapterClassKey, holds one sub-key per
// adapter ("0000", "0001", ...). EnableWakeOnLan writes the DWORD "PnPCapabilities" of each
// sub-key it can open: 256 when the system's major version is above 5, else 32 (see
// WantedPnPCapabilities). A value that already holds the wanted number is not written again,
// so a second run leaves the registry file untouched. A sub-key that cannot be read, opened
// or written is passed over. Result: true when the class key could be opened and counted.
//
// SeedAdapterClassKeys fills the class key at program start: one sub-key per network
// adapter (the interfaces backed by a device and every record of the platform's adapters
// file, platform/adapters.h), its value "NetCfgInstanceId" the interface name. An adapter
// that already has a sub-key with its name keeps it; a new one takes the lowest free
// four-digit name. Nothing on the machine itself changes: the real setting of the network
// cards is the system's business. Returns how many sub-keys it added, or -1 when the
// registry could not be written.
//
// Both run on any thread; the registry is thread-safe.
#pragma once

#include <cstdint>

namespace ks::desktop {

inline constexpr const char* kAdapterClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char* kPnPCapabilitiesValue = "PnPCapabilities";
inline constexpr const char* kNetCfgInstanceIdValue = "NetCfgInstanceId";
inline constexpr uint32_t kPnPCapabilitiesVista = 256;
inline constexpr uint32_t kPnPCapabilitiesOld = 32;

// The value for a system of this major version.
uint32_t WantedPnPCapabilities(int majorVersion);

bool EnableWakeOnLan();

int SeedAdapterClassKeys();

}  // namespace ks::desktop
