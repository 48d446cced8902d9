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

namespace ks::session {

// The agent's text -> UTF-8 ("en": unchanged; otherwise ConvertCode(encoding, "utf-8")).
std::string ToWireUtf8(const std::string& text);
// UTF-8 -> the agent's encoding, dropping characters it lacks ("en": unchanged).
std::string FromWireUtf8(const std::string& text);

// Longest prefix of `text` of at most `maxBytes` bytes that does not end inside a UTF-8
// sequence (bytes that are not UTF-8 are treated as single characters).
std::string Utf8Prefix(const std::string& text, size_t maxBytes);

// Copies Utf8Prefix(text, fieldSize - 1) into the field and NUL-pads the rest.
void PutUtf8Field(uint8_t* field, size_t fieldSize, const std::string& text);

}  // namespace ks::session
