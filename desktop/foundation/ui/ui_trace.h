// KESTYL_UI_TRACE=<file>: one line per user-interface event, appended and flushed at once, so
// that checks run from outside can follow the program. Lines (texts in double quotes, with
// backslash, double quote, CR and LF escaped as \\ \" \r \n):
//   show|hide <Class> "<title>"            a top-level window shown or hidden
//   title <Class> "<t>"                    a top-level window's title changed
//   text <Class> <id> "<t>"                a control's text set
//   box <type> "<caption>" "<text>"        a message box about to be shown
//   result <Class> <n>                     a modal dialog ended with n
//   balloon <edit id> "<t>"                an edit's balloon tip
//   tray add|modify <icon> "<tip>"  /  tray delete  /  tray balloon "<title>" "<text>"
//   ctl <Class> <id> <x> <y> <w> <h> <visible> <enabled>   global pixels; a top-level window
//                                          (id 0 unless it has one) and its controls with ids
//                                          when shown, a control when shown, moved or resized
//   menuitem <id> <x> <y> <w> <h>          an item of a menu that popped up (global pixels)
//   row <Class> <list id> add|del <index> "<col0>" "<col1>"
// <Class> is the C++ class name without namespace. Writing is safe from any thread. Without
// the variable nothing is written and the calls cost a flag test.
#pragma once

#include <QString>
#include <QWidget>

namespace ks::ui {

bool TraceEnabled();
void TraceLine(const QString& line);
// Writes to `path` from now on (empty: stop); the variable is read only when this was never called.
void SetTraceFile(const QString& path);

QString TraceQuote(const QString& text);
QString TraceClassName(const QObject* object);

// Control ids (the template ids of the controls), kept as a property of the widget.
void SetControlId(QWidget* widget, int id);
int ControlId(const QWidget* widget);  // -1 when none

// Helpers for the lines that the controls write themselves.
void TraceText(const QWidget* control, const QString& text);
void TraceResult(const QObject* dialog, int result);
void TraceCtl(const QWidget* widget);

// Installs (once) the application-wide filter that writes show, hide, title and ctl lines.
// Does nothing when tracing is off. GUI thread, after the application exists.
void InstallUiTracer();

}  // namespace ks::ui
