#include "desktop/foundation/sync/sync_log.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "desktop/foundation/lang/languages.h"
#include "platform/utf16.h"

namespace pf = ks::platform;

namespace {

std::u16string W(const char* text) { return pf::Utf8ToUtf16(text); }

std::u16string UiText(const ILanguages* languages, const char* key, const char* fallback) {
  if (!languages) return W(fallback);
  return languages->GetText("UI", key);
}

// RFC 4180: a field with a separator, quote or line break is quoted, quotes doubled.
std::u16string CsvField(const std::u16string& field) {
  if (field.find_first_of(u",\"\r\n") == std::u16string::npos) return field;
  std::u16string out = u"\"";
  for (char16_t c : field) {
    if (c == u'"') out += u'"';
    out += c;
  }
  return out + u"\"";
}

std::vector<std::u16string> Tokens(const std::u16string& text) {
  std::vector<std::u16string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find(u' ', pos);
    const size_t stop = end == std::u16string::npos ? text.size() : end;
    if (stop > pos) out.push_back(text.substr(pos, stop - pos));
    pos = stop + 1;
  }
  return out;
}

std::u16string DateColumn(const std::u16string& time) {
  static const char16_t* kMonths[] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                      u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  std::u16string clock, day, month, year;
  const std::vector<std::u16string> t = Tokens(time);
  do {
    if (t.size() < 1) break;
    if (const size_t dot = t[0].find(u'.'); dot != std::u16string::npos) clock = t[0].substr(0, dot);
    if (t.size() < 2) break;
    if (t.size() < 3) break;
    day = t[2];
    if (t.size() < 4) break;
    month = u"  ";
    for (int i = 0; i < 12; ++i)
      if (t[3] == kMonths[i]) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02d", i + 1);
        month = W(buf);
      }
    if (t.size() < 5) break;
    year = t[4];
  } while (false);
  return year + u"/" + month + u"/" + day + u" " + clock;
}

std::u16string Between(const std::u16string& line, const std::u16string& open, const std::u16string& close) {
  const size_t a = line.find(open);
  if (a == std::u16string::npos) return u"";
  const size_t start = a + open.size();
  const size_t b = line.find(close);
  if (b == std::u16string::npos || start >= line.size() || b <= start) return u"";
  return line.substr(start, b - start);
}

std::u16string After(const std::u16string& line, const std::u16string& marker) {
  const size_t a = line.find(marker);
  return a == std::u16string::npos ? u"" : line.substr(a + marker.size());
}

std::u16string Trim(const std::u16string& s) {
  const char16_t* ws = u" \t\r\n\v\f";
  const size_t a = s.find_first_not_of(ws);
  if (a == std::u16string::npos) return u"";
  return s.substr(a, s.find_last_not_of(ws) - a + 1);
}

bool ReadLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

bool EqualsLiteral(const std::u16string& field, const char* literal) { return field == W(literal); }
bool IsNonEmpty(const std::u16string& field) { return !field.empty(); }

std::u16string FormatSyncLogHeader(const ILanguages* languages) {
  return CsvField(UiText(languages, "SETTING_SYNC_LOG_TIME", "Time")) + u"," +
         CsvField(UiText(languages, "SETTING_SYNC_LOG_FILENAME", "File Name")) + u"," +
         CsvField(UiText(languages, "SETTING_SYNC_LOG_OPERATION", "Operation"));
}

std::u16string FormatSyncLogRow(const SyncLogEntry& entry, const ILanguages* languages) {
  std::u16string op = entry.operation;
  if (languages) {
    const char* key = "SETTING_SYNC_LOG_OTHER";
    if (EqualsLiteral(entry.operation, "copy"))
      key = EqualsLiteral(entry.direction, "in") ? "SETTING_SYNC_LOG_DOWNLOAD" : "SETTING_SYNC_LOG_UPLOAD";
    else if (EqualsLiteral(entry.operation, "delete"))
      key = "SETTING_SYNC_LOG_DELETE";
    op = languages->GetText("UI", key);
  }
  return CsvField(DateColumn(entry.time)) + u"," + CsvField(entry.fileName) + u"," + CsvField(op);
}

std::u16string BuildSyncLogCsv(std::istream& log, const ILanguages* languages) {
  std::u16string csv = FormatSyncLogHeader(languages) + u"\r\n";
  std::string raw;
  while (ReadLine(log, raw)) {
    if (raw.find("started propagating") == std::string::npos) continue;
    std::vector<std::u16string> lines;
    std::string finishing;
    bool closed = false;
    while (ReadLine(log, raw)) {
      lines.push_back(pf::Utf8ToUtf16(raw));
      if (raw.find("finished propagating") != std::string::npos) {
        finishing = raw;
        closed = true;
        break;
      }
    }
    if (!closed) break;
    std::u16string time;
    if (const size_t at = finishing.rfind("at "); at != std::string::npos)
      time = Trim(pf::Utf8ToUtf16(finishing.substr(at + 2)));
    std::map<std::u16string, SyncLogEntry> entries;  // ordinal UTF-16 order
    for (const std::u16string& line : lines) {
      if (line.find(u"[BGN]") != std::u16string::npos) {
        SyncLogEntry e;
        e.time = time;
        e.direction = line.find(u"from //") != std::u16string::npos ? u"out" : u"in";
        if (line.find(u"Copying") != std::u16string::npos) {
          e.operation = u"copy";
          e.fileName = Between(line, u"Copying ", u" from");
        } else if (line.find(u"Deleting") != std::u16string::npos) {
          e.operation = u"delete";
          e.fileName = Between(line, u"Deleting ", u" from");
        } else {
          e.operation = u"other";
        }
        entries.emplace(e.fileName, e);
      } else if (line.find(u"[END]") != std::u16string::npos) {
        std::u16string key;
        if (line.find(u"Copying") != std::u16string::npos)
          key = After(line, u"Copying ");
        else if (line.find(u"Deleting") != std::u16string::npos)
          key = After(line, u"Deleting ");
        if (auto it = entries.find(key); it != entries.end()) it->second.finished = true;
      }
    }
    for (const auto& [name, e] : entries)
      if (e.finished) csv += FormatSyncLogRow(e, languages) + u"\r\n";
  }
  return csv;
}

bool SyncLogUsesAnsi(unsigned langid) {
  const unsigned primary = langid & 0x3ff, sub = langid >> 10;
  return primary == 4 && (sub == 1 || sub == 2);
}

bool ExportSyncLog(const std::string& logPath, const std::string& csvPath, unsigned langid,
                   const ILanguages* languages) {
  std::ifstream log(logPath, std::ios::binary);
  std::FILE* out = std::fopen(csvPath.c_str(), "wb");
  if (!out) return false;
  const std::u16string csv = BuildSyncLogCsv(log, languages);
  const std::string bytes = SyncLogUsesAnsi(langid) ? pf::Utf16ToUtf8(csv) : pf::Utf16ToLeBytes(csv);
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  const bool closed = std::fclose(out) == 0;
  return written && closed;
}
