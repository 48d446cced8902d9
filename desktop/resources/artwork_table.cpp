#include "desktop/resources/artwork_table.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace ks::art {
namespace {

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  return fields;
}

bool ParseInt(const std::string& s, int min, int max, int& out) {
  if (s.empty()) return false;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, out);
  return ec == std::errc() && p == end && out >= min && out <= max;
}

bool ParseColour(const std::string& s, uint32_t& out) {
  if (s.size() != 7 || s[0] != '#') return false;
  uint32_t v = 0;
  for (size_t i = 1; i < 7; ++i) {
    char c = s[i];
    int d = (c >= '0' && c <= '9') ? c - '0'
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (d < 0) return false;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  out = v;
  return true;
}

bool ValidId(const std::string& kind, const std::string& id) {
  if (kind == "gif" || kind == "htm") {
    if (id.empty() || id.find('/') != std::string::npos || id.find("..") != std::string::npos) return false;
    return id.size() > 4 && id.compare(id.size() - 4, 4, "." + kind) == 0;
  }
  int n = 0;
  return ParseInt(id, 1, 65535, n) && id[0] != '0';
}

}  // namespace

bool ParseArtworkTable(const std::string& text, std::vector<ArtworkRow>& rows, std::string& error) {
  std::istringstream in(text);
  std::string line;
  std::set<std::pair<std::string, std::string>> seen;  // (resource prefix, id)
  int number = 0;
  auto fail = [&](const std::string& why) {
    error = "line " + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> f = SplitTabs(line);
    if (f.size() != 9) return fail("expected 9 tab-separated fields, found " + std::to_string(f.size()));
    ArtworkRow r;
    r.line = number;
    r.id = f[0];
    r.kind = f[1];
    if (r.kind != "png" && r.kind != "ico" && r.kind != "bmp" && r.kind != "gif" && r.kind != "htm")
      return fail("unknown kind \"" + r.kind + "\"");
    if (!ValidId(r.kind, r.id)) return fail("bad id \"" + r.id + "\" for kind " + r.kind);
    if (!ParseInt(f[2], 1, 4096, r.width) || !ParseInt(f[3], 1, 4096, r.height))
      return fail("bad size " + f[2] + "x" + f[3]);
    if (r.kind == "ico" && r.width != r.height) return fail("icons are square");
    r.role = f[4];
    r.source = f[5];
    if (r.role.empty() || r.source.empty()) return fail("empty role or source");
    if (r.source.find("..") != std::string::npos || r.source.find('/') != std::string::npos)
      return fail("source must be a plain file name");
    if (!ParseInt(f[6], 0, r.width - 1, r.probeX) || !ParseInt(f[7], 0, r.height - 1, r.probeY))
      return fail("probe point outside the picture");
    if (!ParseColour(f[8], r.probeRgb)) return fail("bad probe colour \"" + f[8] + "\"");
    std::string prefix = (r.kind == "gif" || r.kind == "htm") ? "roaming" : r.kind;
    if (!seen.insert({prefix, r.id}).second) return fail("duplicate id " + r.id);
    rows.push_back(std::move(r));
  }
  return true;
}

bool LoadArtworkTable(const std::string& path, std::vector<ArtworkRow>& rows, std::string& error) {
  std::ifstream f(path, std::ios::binary);
  if (!f) {
    error = "cannot read " + path;
    return false;
  }
  std::ostringstream text;
  text << f.rdbuf();
  if (!ParseArtworkTable(text.str(), rows, error)) {
    error = path + ": " + error;
    return false;
  }
  return true;
}

bool ProbeMatches(uint32_t rgb, uint32_t expected) {
  for (int shift = 0; shift <= 16; shift += 8) {
    int a = static_cast<int>((rgb >> shift) & 0xFF);
    int b = static_cast<int>((expected >> shift) & 0xFF);
    if (std::abs(a - b) > kProbeTolerance) return false;
  }
  return true;
}

}  // namespace ks::art
