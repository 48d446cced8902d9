// Fonts of the language font sections as QFont.
//
// A section's record (face, height in points, weight) becomes a font the way every window
// of the program builds it: LOGFONT height = -MulDiv(FONT_HEIGHT, 96, 72); a negative
// LOGFONT height is the character (em) height in pixels, a positive one the cell height
// (ascent + descent), converted to the pixel size whose cell is that high; 0 keeps 12 px.
// Weight 0 means 400; 1..1000 map to the same CSS-style weight. The face names the files
// use ("Arial", "Microsoft YaHei", "Microsoft JhengHei", "MS Shell Dlg", ...) are
// substituted once per process by installed faces, with a CJK face behind each so that
// Chinese text never shows boxes.
#pragma once

#include "desktop/foundation/ui/language_source.h"

#include <QFont>

#include <string>

namespace ks::ui {

// Registers the face substitutions (idempotent; GUI thread, after QGuiApplication exists).
void InstallFontSubstitutions();

// The font of a record. `dpiY` is the logical vertical DPI (96 on every screen we run on).
QFont FontFromRecord(const FontRecord& record, bool underline, int dpiY = 96);

// The LOGFONT height a record gives: -MulDiv(height, dpiY, 72).
int LogFontHeight(const FontRecord& record, int dpiY = 96);

// CreateLanguageFont(section, underline): the record of `section` from the installed
// language source; without a source or record: "Arial", height -12 (not scaled), weight 400.
QFont CreateLanguageFont(const std::string& section, bool underline = false);

// The same routine as the utility of the desktop foundation names it.
inline QFont CreateFontFromLanguage(const std::string& section, bool underline = false) {
  return CreateLanguageFont(section, underline);
}

// The fallback font: "Arial", LOGFONT height -12, weight 400.
QFont DefaultArialFont();

}  // namespace ks::ui
