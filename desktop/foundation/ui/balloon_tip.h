// Balloon tips on edits: the hint an edit shows below itself (for example "the password is
// empty"). The tip is a tool tip anchored at the middle of the edit's bottom edge, with the
// title in bold above the text; it goes away as tool tips do (a click, a key, a timeout).
// Each call writes the trace line `balloon <edit id> "<text>"`. GUI thread only.
#pragma once

#include <QString>
#include <QWidget>

namespace ks::ui {

void ShowEditBalloon(QWidget* edit, const QString& title, const QString& text);

}  // namespace ks::ui
