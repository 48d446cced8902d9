// Checks shared by the fake mobile client's operations (private to tests/fakes).
#pragma once

#include <cstdio>
#include <string>

#include "tests/fakes/fake_mobile_client.h"

namespace ks::fake::checks {

inline std::string Hex16(uint16_t v) {
  char b[8];
  std::snprintf(b, sizeof b, "0x%04x", v);
  return b;
}

// Sets the first fault only: later ones are usually consequences.
inline void Fault(OpResult* r, const std::string& text) {
  if (r->error.empty()) r->error = text;
}

// Checks the head of an answer: its length (when `length` is not 0) and its word.
inline void CheckHead(OpResult* r, const Message& m, size_t length, uint32_t word,
                      const char* what) {
  if (length != 0 && m.head.length != length)
    Fault(r, std::string(what) + ": length " + std::to_string(m.head.length) + ", expected " +
                 std::to_string(length));
  if (m.head.word != word)
    Fault(r, std::string(what) + ": word " + std::to_string(m.head.word) + ", expected " +
                 std::to_string(word));
}

}  // namespace ks::fake::checks
