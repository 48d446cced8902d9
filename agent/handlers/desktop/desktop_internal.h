// Shared by the desktop handler sources only.
#pragma once

#include "agent/handlers/desktop/desktop.h"
#include "agent/log/log.h"

// Handler definition with the contract's arguments; the channel, UDT socket and direct flag
// are not used by any desktop handler (their replies go back through `reply`).
#define KS_DEFINE_DESKTOP_HANDLER(name)                                                     \
  int name([[maybe_unused]] const uint8_t* body, [[maybe_unused]] size_t bodyLength,       \
           const MsgHead* head, Channel*, std::vector<uint8_t>* reply, int*, int*)

#define KS_SHOW_LOG(level, ...) KS_LOG("Show", (level), __VA_ARGS__)

namespace ks::desktop {

constexpr const char* kNoBody = "Input msg buffer pointer is null.";

}  // namespace ks::desktop
