// Mobile clients that ask to log in, from the agent link's push to the owner's answer.
//
// ConnectRequestQueue: the waiting requests, oldest first, each a copy. Thread-safe.
//   Add ignores a request whose id is already queued; Tick ages every record by one second
//   and takes out those that reached 25 s, in queue order.
//
// ConnectRequests (GUI thread, except OnConnectRequest): the main window's side.
//   - OnConnectRequest (any thread, typically the link's connection thread): queues a copy
//     (an id already queued or on screen is ignored) and posts 0x50B to itself; it never
//     waits for the owner.
//   - 0x50B, the end of a dialog and ShowOldest show the oldest waiting request in a
//     CConnectDlg when none is on screen: one dialog at a time, never with the lock held.
//     Taking the last request out of the queue calls the idle hook (mobile state back to 1).
//   - Each answer goes to IUIData::AnswerConnectRequest (dropped without a link).
//   - Tick (the 1000 ms timer, m_nConnectTimer): every waiting request and the one on screen
//     age by one second; a waiting request that reached 25 s is refused and dropped, and the
//     dialog of one on screen that reached 25 s ends as a refusal, so every request is
//     answered before the agent's own 30 s wait runs out and a late OK never looks accepted.
//   - RequestsWaiting: requests are queued behind the dialog; the tray icon flashes then.
// The owner of a ConnectRequests must clear the link's callback (which waits for callbacks
// in flight) before destroying it.
#pragma once

#include "desktop/app/connect/connect_dlg.h"
#include "desktop/foundation/agentlink/ui_data.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace ks::desktop {

inline constexpr unsigned kMsgConnectRequest = 0x50B;
inline constexpr uint32_t kConnectRequestMaxAge = 25;
inline constexpr int kConnectTimerMs = 1000;

class ConnectRequestQueue {
 public:
  // False (nothing queued) when a record with the same id is already waiting.
  bool Add(const ConnectRequestInfo& request);
  std::optional<ConnectRequestInfo> TakeOldest();
  // Ages every record; takes out and returns, in queue order, those that reached the limit.
  std::vector<ConnectRequestInfo> Tick(uint32_t maxAge = kConnectRequestMaxAge);
  bool Contains(uint32_t requestId) const;
  bool Empty() const;
  size_t Size() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::deque<ConnectRequestInfo> records_;
};

class ConnectRequests : public QObject, public IConnectDlgCallBack {
  Q_OBJECT
 public:
  // `uiData` may be null (answers are dropped); not owned. `onIdle` runs on the GUI thread
  // when the queue has become empty.
  explicit ConnectRequests(IUIData* uiData, std::function<void()> onIdle = {}, QObject* parent = nullptr);
  ~ConnectRequests() override;

  void SetUIData(IUIData* uiData) { uiData_ = uiData; }
  // Asked at each answer instead of the link given above (an owner whose link comes and
  // goes); GUI thread.
  void SetUIDataSource(std::function<IUIData*()> source) { uiDataSource_ = std::move(source); }

  // Starts the 1000 ms ageing timer (the window's initialisation).
  void StartTimer();
  int TimerId() const { return timer_.isActive() ? timer_.timerId() : 0; }

  void OnConnectRequest(const ConnectRequestInfo* request);
  void OnConnectDlgResult(const ConnectDlgResult* result) override;

  // The tray icon's click: the dialog on screen comes to the front, else the oldest waiting
  // request is shown.
  void ShowOldest();
  // One tick of the ageing timer.
  void Tick();

  bool RequestsWaiting() const { return !queue_.Empty(); }
  CConnectDlg* CurrentDialog() const { return dialog_.data(); }
  const ConnectRequestQueue& queue() const { return queue_; }

 signals:
  // A dialog was shown / ended (for the main window's and the tests' benefit).
  void dialogShown(CConnectDlg* dialog);
  void dialogEnded(uint32_t requestId, int result);
  // A request arrived and waits behind the dialog on screen.
  void requestQueued();

 protected:
  bool event(QEvent* e) override;

 private:
  void ShowNext();

  IUIData* uiData_;
  std::function<IUIData*()> uiDataSource_;
  std::function<void()> onIdle_;
  ConnectRequestQueue queue_;
  QPointer<CConnectDlg> dialog_;
  std::atomic<int64_t> shownId_{-1};  // -1: none on screen
  uint32_t shownAge_ = 0;
  QTimer timer_;
};

}  // namespace ks::desktop
