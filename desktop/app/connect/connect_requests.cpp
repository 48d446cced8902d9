#include "desktop/app/connect/connect_requests.h"

#include "desktop/foundation/ui/msg_event.h"

#include <QEvent>

#include <algorithm>

namespace ks::desktop {

bool ConnectRequestQueue::Add(const ConnectRequestInfo& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const ConnectRequestInfo& r : records_)
    if (r.requestId == request.requestId) return false;
  records_.push_back(request);
  return true;
}

std::optional<ConnectRequestInfo> ConnectRequestQueue::TakeOldest() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (records_.empty()) return std::nullopt;
  ConnectRequestInfo r = records_.front();
  records_.pop_front();
  return r;
}

std::vector<ConnectRequestInfo> ConnectRequestQueue::Tick(uint32_t maxAge) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ConnectRequestInfo> expired;
  for (ConnectRequestInfo& r : records_) {
    if (r.age < maxAge) ++r.age;
    if (r.age >= maxAge) expired.push_back(r);
  }
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [maxAge](const ConnectRequestInfo& r) { return r.age >= maxAge; }),
                 records_.end());
  return expired;
}

bool ConnectRequestQueue::Contains(uint32_t requestId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::any_of(records_.begin(), records_.end(),
                     [requestId](const ConnectRequestInfo& r) { return r.requestId == requestId; });
}

bool ConnectRequestQueue::Empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.empty();
}

size_t ConnectRequestQueue::Size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return records_.size();
}

void ConnectRequestQueue::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

ConnectRequests::ConnectRequests(IUIData* uiData, std::function<void()> onIdle, QObject* parent)
    : QObject(parent), uiData_(uiData), onIdle_(std::move(onIdle)) {
  ks::ui::RegisterMsg(kMsgConnectRequest);
  timer_.setInterval(kConnectTimerMs);
  connect(&timer_, &QTimer::timeout, this, &ConnectRequests::Tick);
}

ConnectRequests::~ConnectRequests() {
  timer_.stop();
  if (CConnectDlg* dialog = dialog_.data()) {
    dialog->SetListener(nullptr);
    delete dialog;
  }
}

void ConnectRequests::StartTimer() { timer_.start(); }

void ConnectRequests::OnConnectRequest(const ConnectRequestInfo* request) {
  if (request == nullptr) return;
  if (shownId_.load() == static_cast<int64_t>(request->requestId)) return;
  ConnectRequestInfo copy = *request;
  copy.age = 0;
  if (queue_.Add(copy)) ks::ui::PostMsg(this, kMsgConnectRequest);
}

bool ConnectRequests::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kMsgConnectRequest)) {
    ShowNext();
    if (!queue_.Empty()) emit requestQueued();
    return true;
  }
  return QObject::event(e);
}

void ConnectRequests::OnConnectDlgResult(const ConnectDlgResult* result) {
  IUIData* link = uiDataSource_ ? uiDataSource_() : uiData_;
  if (link != nullptr && result != nullptr) link->AnswerConnectRequest(result);
}

void ConnectRequests::ShowOldest() {
  if (CConnectDlg* dialog = dialog_.data()) {
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
    return;
  }
  ShowNext();
}

void ConnectRequests::ShowNext() {
  if (!dialog_.isNull()) return;
  std::optional<ConnectRequestInfo> next = queue_.TakeOldest();
  if (!next) return;
  if (queue_.Empty() && onIdle_) onIdle_();

  auto* dialog = new CConnectDlg();
  dialog->setAttribute(Qt::WA_DeleteOnClose, false);
  dialog->SetRequest(*next);
  dialog->SetListener(this);
  dialog_ = dialog;
  shownId_.store(next->requestId);
  shownAge_ = next->age;
  const uint32_t id = next->requestId;
  connect(dialog, &QDialog::finished, this, [this, dialog, id](int result) {
    if (dialog_.data() == dialog) {
      dialog_.clear();
      shownId_.store(-1);
    }
    dialog->deleteLater();
    emit dialogEnded(id, result);
    ShowNext();
  });
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
  emit dialogShown(dialog);
}

void ConnectRequests::Tick() {
  const bool hadWaiting = !queue_.Empty();
  for (const ConnectRequestInfo& r : queue_.Tick()) {
    const ConnectDlgResult refused{r.requestId, false};
    OnConnectDlgResult(&refused);
  }
  if (hadWaiting && queue_.Empty() && onIdle_) onIdle_();
  if (CConnectDlg* dialog = dialog_.data()) {
    if (++shownAge_ >= kConnectRequestMaxAge) dialog->Expire();
  }
}

}  // namespace ks::desktop
