#include "desktop/foundation/ui/balloon_tip.h"

#include "desktop/foundation/ui/ui_trace.h"

#include <QToolTip>

namespace ks::ui {

void ShowEditBalloon(QWidget* edit, const QString& title, const QString& text) {
  if (!edit) return;
  TraceLine(QStringLiteral("balloon %1 %2").arg(ControlId(edit)).arg(TraceQuote(text)));
  QString body = title.isEmpty()
                           ? text.toHtmlEscaped()
                           : QStringLiteral("<b>%1</b><br>%2").arg(title.toHtmlEscaped(), text.toHtmlEscaped());
  QToolTip::showText(edit->mapToGlobal(QPoint(edit->width() / 2, edit->height())),
                     QStringLiteral("<p style=\"white-space:pre\">%1</p>").arg(body.replace(QLatin1Char('\n'), QStringLiteral("<br>"))), edit);
}

}  // namespace ks::ui
