#include "desktop/app/update/update_events.h"

#include "desktop/app/update/update_dlg.h"
#include "desktop/app/update/update_notice_dlg.h"
#include "desktop/foundation/agentlink/ui_data.h"
#include "desktop/foundation/log/ks_log.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/util/ks_util.h"

#include <QPointer>

#include <memory>

namespace ks::update {

namespace upd = ks::desktop::update;

void ConnectUpdateLogic(upd::CUpdateLogic& logic, upd::IUpdateCallback* callback, QWidget* owner,
                        ks::desktop::IUIData* uiData) {
  logic.SetCallback(callback);
  QPointer<QWidget> parent(owner);
  logic.SetNoticePresenter([parent](const std::string& version) { return RunUpdateNotice(version, parent.data()); });
  if (uiData) {
    // The manager's thread may ask after the window released its own reference.
    uiData->AddRef();
    std::shared_ptr<ks::desktop::IUIData> link(uiData, [](ks::desktop::IUIData* p) { p->Release(); });
    logic.SetTransferStateSource([link] { return link->GetTransferState(); });
  } else {
    logic.SetTransferStateSource(nullptr);
  }
}

void ShowNoUpdateBox() {
  ks::skin::ShowDiyMessageBox(ks::ui::LangText("MESSAGEBOX", "MSGBOX_NOUPDATE"),
                              ks::ui::LangText("MESSAGEBOX", "MSGBOX_UPDATETITLE"), 0);
}

bool RecordUpdateFinish(upd::CUpdateLogic& logic) {
  const bool written = upd::WriteKestylDword(upd::kUpdateFinishValue, 1);
  if (!written) KS_DESKTOP_LOG("CSettingDlg::OnMsgUpdateFinish", "Cannot write UpdateFinish = 1 to HKLM\\SOFTWARE\\Kestyl");
  // The update thread waits for this on every path, also when the write failed.
  logic.SetFinishEvent();
  return written;
}

bool ShowUpdateFinishedInfo(CUpdateDlg& dlg, upd::CUpdateLogic* logic, const std::function<void()>& startCountdown,
                            int showMs) {
  if (!upd::KestylKeyOpens()) return false;
  uint32_t finished = 0;
  upd::ReadKestylDword(upd::kUpdateFinishValue, finished);
  bool shown = false;
  if (finished == 1) {
    if (!upd::WriteKestylDword(upd::kUpdateFinishValue, 0))
      KS_DESKTOP_LOG("CSettingDlg::ShowUpdateFinishedInfo", "Cannot reset UpdateFinish in HKLM\\SOFTWARE\\Kestyl");
    if (startCountdown) startCountdown();
    dlg.ShowNearCorner(showMs);
    shown = true;
  }
  if (logic) logic->SetFinishEvent();
  return shown;
}

upd::CUpdateLogic::StartResult StartManualCheck(upd::CUpdateLogic& logic) {
  const upd::CUpdateLogic::StartResult result = logic.StartCheck(false);
  if (result == upd::CUpdateLogic::StartResult::kBusy) ks::skin::ShowDiyMessageBoxByKey("MSGBOX_ISUPDATINGNOW", 0);
  return result;
}

bool StartInstallerAtExit(upd::CUpdateLogic& logic) {
  if (!CKSUtil::IsUserAdmin()) {
    KS_DESKTOP_LOG("CSettingDlg::~CSettingDlg", "No administrator rights: the downloaded installer is not run");
    return false;
  }
  // The manager must not touch the file any more while it is copied and run.
  logic.Stop();
  return logic.StartInstaller();
}

}  // namespace ks::update
