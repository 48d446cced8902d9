// Where discovery and the wake-up announcer get the device id from.
//
// KnownDeviceId never leaves the machine; FetchDeviceId may ask the vendor's server when
// nothing is known locally, so callers that wait for an id call it rarely. Both give ""
// when no id exists. Tests replace both with SetDeviceIdLookup.
#pragma once

#include <functional>
#include <string>

namespace ks::net {

std::string KnownDeviceId();
std::string FetchDeviceId();

// lookup(askServer) answers both calls (askServer true for FetchDeviceId); an empty
// function restores the real lookups.
void SetDeviceIdLookup(std::function<std::string(bool askServer)> lookup);

}  // namespace ks::net
