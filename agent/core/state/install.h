// Where the agent is installed and which text encoding it uses: facts of the process that
// start-up gathers (and the state keeps, state.h).
#pragma once

#include <cstdint>
#include <string>

// 0 and the folder of the program file; 1 when it cannot be read.
int GetModuleDir(std::string& out);
// 0 and the install root (parent of the program's folder); -1 and "" on failure.
int GetRootPath(std::string& out);

// The agent's text encoding: "gb2312", "big5" or "en". On Linux file names are UTF-8, so
// it is "en" unless KESTYL_TEXT_ENCODING overrides it.
std::string GetDefLangEncode();
// The rule by a Windows language id: 0x08xx-0x0Bxx Chinese → "gb2312", 0x04xx-0x07xx
// Chinese → "big5", anything else "en".
std::string LangEncodeForLangId(uint16_t langId);
