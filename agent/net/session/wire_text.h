// Texts on the wire: fixed NUL-padded fields and the agent's text encoding.
//
// Wire texts are UTF-8; the agent's file names and stored settings are in its text encoding
// (ks::state::TextEncoding(): "gb2312", "big5" or "en", where "en" means no conversion).
// A UTF-8 text copied into a field of N bytes keeps at most N - 1 bytes and is cut at a
// character boundary, so the field never ends in half a character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/text/text.h"
#include "common/wire/wire.h"

namespace ks::session {

// The agent's text -> UTF-8 ("en": unchanged; otherwise ConvertCode(encoding, "utf-8")).
std::string ToWireUtf8(const std::string& text);
// UTF-8 -> the agent's encoding, dropping characters it lacks ("en": unchanged).
std::string FromWireUtf8(const std::string& text);

// Utf8Prefix (common/text) and PutUtf8Field (common/wire), named here too.
using ::Utf8Prefix;
using ks::wire::PutUtf8Field;

}  // namespace ks::session
