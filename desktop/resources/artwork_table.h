// Reading desktop/resources/artwork.tsv, the list of every picture the desktop program
// carries: which id it has, how big it is rendered, which SVG source draws it, and one
// probe point whose colour the rendered picture guarantees.
//
// File format: UTF-8 text, one row per line, fields separated by one TAB:
//   id  kind  w  h  role  svg  probe_x  probe_y  probe_colour
// kind is png, ico, bmp (resources :/png/<id>, :/ico/<id>, :/bmp/<id>) or gif, htm (files
// of the roaming folder, id = file name). probe_colour is "#RRGGBB". Lines that are empty
// or start with '#' are comments. Plain C++ (no Qt), so tests and tools of any module can
// read the table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ks::art {

struct ArtworkRow {
  std::string id;         // "263", or "banner_en.gif" for roaming files
  std::string kind;       // png | ico | bmp | gif | htm
  int width = 0;          // rendered size in pixels (ico: the 32-px size)
  int height = 0;
  std::string role;       // short description for people
  std::string source;     // SVG file under desktop/resources/art/ (htm: file under roaming/)
  int probeX = 0;         // a pixel of the rendered picture ...
  int probeY = 0;
  uint32_t probeRgb = 0;  // ... that has this colour (0xRRGGBB), within +-2 per channel
  int line = 0;           // line number in the file, for messages
};

// Parses the whole table. On failure returns false and sets `error` to
// "line N: <reason>"; rows parsed so far stay in `rows`.
bool ParseArtworkTable(const std::string& text, std::vector<ArtworkRow>& rows, std::string& error);

// Reads and parses a table file; false with a message when it cannot be read or parsed.
bool LoadArtworkTable(const std::string& path, std::vector<ArtworkRow>& rows, std::string& error);

// The largest difference per channel that a probe allows.
constexpr int kProbeTolerance = 2;

// True when `rgb` (0xRRGGBB) matches `expected` within kProbeTolerance on every channel.
bool ProbeMatches(uint32_t rgb, uint32_t expected);

}  // namespace ks::art
