#include "desktop/foundation/ui/ui_trace.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QVariant>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace ks::ui {
namespace {

std::mutex g_mutex;
bool g_configured = false;
QString g_path;
std::atomic<int> g_enabled{-1};  // -1 not decided yet

constexpr char kIdProperty[] = "ks_control_id";

void Configure() {
  if (g_configured) return;
  g_configured = true;
  const char* env = std::getenv("KESTYL_UI_TRACE");
  g_path = env != nullptr ? QString::fromLocal8Bit(env) : QString();
  g_enabled = g_path.isEmpty() ? 0 : 1;
}

class Tracer : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type t = event->type();
    if (t != QEvent::Show && t != QEvent::Hide && t != QEvent::Move && t != QEvent::Resize &&
        t != QEvent::WindowTitleChange)
      return false;
    if (!watched->isWidgetType()) return false;
    auto* w = static_cast<QWidget*>(watched);
    if (w->isWindow()) {
      if (w->windowType() == Qt::Popup || w->windowType() == Qt::ToolTip) return false;
      if (t == QEvent::Show) {
        TraceLine(QStringLiteral("show %1 %2").arg(TraceClassName(w), TraceQuote(w->windowTitle())));
        TraceCtl(w);
        for (QWidget* child : w->findChildren<QWidget*>())
          if (ControlId(child) >= 0 && child->isVisible()) TraceCtl(child);
      } else if (t == QEvent::Hide && !w->isVisible()) {
        TraceLine(QStringLiteral("hide %1 %2").arg(TraceClassName(w), TraceQuote(w->windowTitle())));
      } else if (t == QEvent::WindowTitleChange) {
        TraceLine(QStringLiteral("title %1 %2").arg(TraceClassName(w), TraceQuote(w->windowTitle())));
      } else if ((t == QEvent::Move || t == QEvent::Resize) && w->isVisible()) {
        TraceCtl(w);
        // A moved window moves its controls on the screen too, and the lines give screen pixels.
        if (t == QEvent::Move) {
          for (QWidget* child : w->findChildren<QWidget*>())
            if (ControlId(child) >= 0 && child->isVisible()) TraceCtl(child);
        }
      }
      return false;
    }
    if (ControlId(w) < 0) return false;
    if (t == QEvent::Show || ((t == QEvent::Move || t == QEvent::Resize) && w->isVisible())) {
      if (w->window()->isVisible()) TraceCtl(w);
    }
    return false;
  }
};

}  // namespace

bool TraceEnabled() {
  int e = g_enabled.load();
  if (e >= 0) return e == 1;
  std::lock_guard<std::mutex> lock(g_mutex);
  Configure();
  return g_enabled.load() == 1;
}

void SetTraceFile(const QString& path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_configured = true;
  g_path = path;
  g_enabled = path.isEmpty() ? 0 : 1;
}

void TraceLine(const QString& line) {
  if (!TraceEnabled()) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  QFile file(g_path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) return;
  QByteArray bytes = line.toUtf8();
  bytes.append('\n');
  file.write(bytes);
}

QString TraceQuote(const QString& text) {
  QString out;
  out.reserve(text.size() + 2);
  out.append(QLatin1Char('"'));
  for (QChar c : text) {
    if (c == QLatin1Char('\\')) out.append(QLatin1String("\\\\"));
    else if (c == QLatin1Char('"')) out.append(QLatin1String("\\\""));
    else if (c == QLatin1Char('\n')) out.append(QLatin1String("\\n"));
    else if (c == QLatin1Char('\r')) out.append(QLatin1String("\\r"));
    else out.append(c);
  }
  out.append(QLatin1Char('"'));
  return out;
}

QString TraceClassName(const QObject* object) {
  if (object == nullptr) return QStringLiteral("?");
  QString name = QString::fromLatin1(object->metaObject()->className());
  int colon = name.lastIndexOf(QLatin1String("::"));
  return colon >= 0 ? name.mid(colon + 2) : name;
}

void SetControlId(QWidget* widget, int id) {
  if (widget != nullptr) widget->setProperty(kIdProperty, id);
}

int ControlId(const QWidget* widget) {
  if (widget == nullptr) return -1;
  QVariant v = widget->property(kIdProperty);
  return v.isValid() ? v.toInt() : -1;
}

void TraceText(const QWidget* control, const QString& text) {
  if (!TraceEnabled()) return;
  TraceLine(QStringLiteral("text %1 %2 %3").arg(TraceClassName(control)).arg(ControlId(control)).arg(TraceQuote(text)));
}

void TraceResult(const QObject* dialog, int result) {
  if (!TraceEnabled()) return;
  TraceLine(QStringLiteral("result %1 %2").arg(TraceClassName(dialog)).arg(result));
}

void TraceCtl(const QWidget* w) {
  if (!TraceEnabled() || w == nullptr) return;
  const QPoint g = w->isWindow() ? w->geometry().topLeft() : w->mapToGlobal(QPoint(0, 0));
  int id = ControlId(w);
  if (id < 0) id = 0;
  TraceLine(QStringLiteral("ctl %1 %2 %3 %4 %5 %6 %7 %8")
                .arg(TraceClassName(w))
                .arg(id)
                .arg(g.x())
                .arg(g.y())
                .arg(w->width())
                .arg(w->height())
                .arg(w->isVisible() ? 1 : 0)
                .arg(w->isEnabled() ? 1 : 0));
}

void InstallUiTracer() {
  if (!TraceEnabled() || QCoreApplication::instance() == nullptr) return;
  static Tracer* tracer = nullptr;
  if (tracer != nullptr) return;
  tracer = new Tracer;
  tracer->setParent(QCoreApplication::instance());
  QCoreApplication::instance()->installEventFilter(tracer);
}

}  // namespace ks::ui
