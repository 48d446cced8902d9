// The rows of the synchronisation log export and the export itself.
//
// SyncLogEntry is one finished (or pending) copy/delete of one propagation run of
// KestylSync's trans.log. FormatSyncLogHeader/FormatSyncLogRow give the CSV header and the
// row of an entry without a line end: "<yyyy>/<mm>/<dd> <hh:mm:ss>,<file name>,<operation>".
// A field holding ',', '"', CR or LF is quoted with '"' doubled (so a comma in a name does
// not shift the columns); every other row is the plain join.
//
// ExportSyncLog reads the log (a missing one gives no lines), groups the lines between
// "started propagating" and "finished propagating", pairs [BGN]/[END] lines of each file and
// writes one row per finished operation in ordinal UTF-16 name order. The encoding follows
// the LANGID: Chinese simplified (0x0804) or traditional (0x0404) -> UTF-8 with CR LF (the
// ANSI form); any other -> UTF-16LE without BOM, CR LF. False when the CSV cannot be
// created, written or closed.
#pragma once

#include <istream>
#include <map>
#include <string>

namespace ks::desktop {
class ILanguages;
}
using ks::desktop::ILanguages;

struct SyncLogEntry {
  std::u16string time;
  std::u16string operation;  // "copy", "delete" or "other"
  std::u16string direction;  // "in" or "out"
  std::u16string fileName;
  bool finished = false;
};

bool EqualsLiteral(const std::u16string& field, const char* literal);
bool IsNonEmpty(const std::u16string& field);

std::u16string FormatSyncLogHeader(const ILanguages* languages);
std::u16string FormatSyncLogRow(const SyncLogEntry& entry, const ILanguages* languages);

// The whole CSV text (lines joined by "\r\n", each line ended) of the log.
std::u16string BuildSyncLogCsv(std::istream& log, const ILanguages* languages);
// True when the LANGID selects the ANSI (UTF-8) form.
bool SyncLogUsesAnsi(unsigned langid);
bool ExportSyncLog(const std::string& logPath, const std::string& csvPath, unsigned langid,
                   const ILanguages* languages);
