// Private window messages of the desktop program as Qt events, and the two ways a worker
// thread talks to the GUI thread.
//
// A message number (0x400 + n, always inside QEvent::User..QEvent::MaxUser) is used as the
// QEvent type itself, so an event filter or `event()` override compares `e->type()` with the
// number the program has always used. Every number is reserved once with
// QEvent::registerEventType; when Qt hands back another number (someone else took it) the
// process aborts, because two meanings for one message cannot be told apart later.
//
// PostMsg may be called from any thread; the event is delivered on the target's thread and
// dropped when the target is destroyed first (the target pointer must be valid at the call).
// CallOnGui runs a function on the GUI thread and returns its result to a worker; on the
// GUI thread itself it refuses (it would deadlock) and returns nothing, as it does when the
// application is gone before the function could run.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace ks::ui {

// Reserves `msg` as an event type (idempotent, thread-safe) and returns it. Aborts when the
// number lies outside User..MaxUser or is already taken by another registration.
QEvent::Type RegisterMsg(unsigned msg);

class MsgEvent : public QEvent {
 public:
  MsgEvent(unsigned msg, uintptr_t wparam, intptr_t lparam)
      : QEvent(RegisterMsg(msg)), wparam_(wparam), lparam_(lparam) {}
  unsigned msg() const { return static_cast<unsigned>(type()); }
  uintptr_t wparam() const { return wparam_; }
  intptr_t lparam() const { return lparam_; }

 private:
  uintptr_t wparam_;
  intptr_t lparam_;
};

// Queues MsgEvent(msg, w, l) for `target`. False when target or application is missing.
bool PostMsg(QObject* target, unsigned msg, uintptr_t wparam = 0, intptr_t lparam = 0);

// Posts the message after `delayMs` milliseconds (a one-shot timer on the GUI thread); the
// message is dropped when the target is gone by then. Call on the target's thread.
void PostMsgDelayed(QObject* target, unsigned msg, uintptr_t wparam, intptr_t lparam, int delayMs);

// True on the thread that runs the application's event loop.
bool OnGuiThread();

// Runs `fn` on the GUI thread and waits for its result. Refused (nullopt, `fn` not run) on
// the GUI thread itself or when there is no application; nullopt too when the application
// drops the call unrun (it quit first). For a function returning void the result is
// optional<bool> (true = it ran).
template <class F>
auto CallOnGui(F fn) {
  using R = std::invoke_result_t<F>;
  using Out = std::conditional_t<std::is_void_v<R>, bool, R>;
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || OnGuiThread()) return std::optional<Out>();

  // The promise is kept by a guard owned by the queued call: when Qt destroys the call unrun,
  // the guard breaks the promise and the waiting worker is released.
  struct Guard {
    std::promise<Out> promise;
    bool done = false;
    ~Guard() {
      if (!done) promise.set_exception(std::make_exception_ptr(std::runtime_error("dropped")));
    }
  };
  auto guard = std::make_shared<Guard>();
  std::future<Out> result = guard->promise.get_future();
  QMetaObject::invokeMethod(
      app,
      [guard, fn = std::move(fn)]() mutable {
        try {
          if constexpr (std::is_void_v<R>) {
            fn();
            guard->promise.set_value(true);
          } else {
            guard->promise.set_value(fn());
          }
        } catch (...) {
          guard->promise.set_exception(std::current_exception());
        }
        guard->done = true;
      },
      Qt::QueuedConnection);
  guard.reset();
  try {
    return std::optional<Out>(result.get());
  } catch (...) {
    return std::optional<Out>();
  }
}

}  // namespace ks::ui
