// What every whole-road test of the desktop program shares: the harness options of the test
// that runs now, and the trace's quoting of a text. Header only: each road program defines
// KS_SOURCE_DIR and KS_BINARY_DIR (tests/e2e/desktop/CMakeLists.txt).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/fakes/desktop_harness.h"

namespace ks::road {

// Fills `options` for the running test: this tree and its build, screenshots under the test's
// own name, the work folder kept when KESTYL_E2E_KEEP is set (to look at a failed road).
// "" when whole roads can run here, else why not (the caller skips with it).
inline std::string PrepareRoadOptions(ks::fake::DesktopOptions& options) {
  const std::string missing = ks::fake::DesktopHarness::Missing();
  if (!missing.empty()) return "whole desktop roads need an X server: " + missing;
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  options.source_dir = KS_SOURCE_DIR;
  options.build_dir = KS_BINARY_DIR;
  options.test_name = std::string(info->test_suite_name()) + "." + info->name();
  options.keep = std::getenv("KESTYL_E2E_KEEP") != nullptr;
  return "";
}

// The end of a wait of `timeout_ms`, stretched like the harness's own waits by the build's
// slowdown (sanitizer builds run the programs several times slower).
inline std::chrono::steady_clock::time_point Until(int timeout_ms) {
  return std::chrono::steady_clock::now() +
         std::chrono::milliseconds(static_cast<int64_t>(timeout_ms) * ks::fake::DesktopHarness::Slowdown());
}

// A text as the UI trace quotes it: in double quotes, with backslash, quote, CR and LF escaped.
inline std::string TraceQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out + "\"";
}

}  // namespace ks::road
