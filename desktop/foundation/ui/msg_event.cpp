#include "desktop/foundation/ui/msg_event.h"

#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace ks::ui {

QEvent::Type RegisterMsg(unsigned msg) {
  static std::mutex mutex;
  static std::set<unsigned> reserved;
  std::lock_guard<std::mutex> lock(mutex);
  if (reserved.count(msg) != 0) return static_cast<QEvent::Type>(msg);
  if (msg < QEvent::User || msg > QEvent::MaxUser) {
    std::fprintf(stderr, "ks::ui: message 0x%X lies outside the user event range\n", msg);
    std::abort();
  }
  int got = QEvent::registerEventType(static_cast<int>(msg));
  if (got != static_cast<int>(msg)) {
    std::fprintf(stderr, "ks::ui: event type 0x%X is already taken\n", msg);
    std::abort();
  }
  reserved.insert(msg);
  return static_cast<QEvent::Type>(msg);
}

bool PostMsg(QObject* target, unsigned msg, uintptr_t wparam, intptr_t lparam) {
  if (target == nullptr || QCoreApplication::instance() == nullptr) return false;
  QCoreApplication::postEvent(target, new MsgEvent(msg, wparam, lparam));
  return true;
}

void PostMsgDelayed(QObject* target, unsigned msg, uintptr_t wparam, intptr_t lparam, int delayMs) {
  if (target == nullptr) return;
  RegisterMsg(msg);
  QPointer<QObject> guard(target);
  QTimer::singleShot(delayMs < 0 ? 0 : delayMs, target, [guard, msg, wparam, lparam] {
    if (guard) PostMsg(guard.data(), msg, wparam, lparam);
  });
}

bool OnGuiThread() {
  QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

}  // namespace ks::ui
