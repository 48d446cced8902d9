// The main window's side of the update manager: the four posted events, what their handlers
// do, the information window at the first start after an update, the manual check command
// and the installer start at exit. The main window (CSettingDlg) owns one CUpdateLogic and
// one CUpdateDlg and calls these from its handlers, all on the GUI thread.
//
// Events (custom QEvent types numbered as the window messages, both parameters 0), posted
// by the IUpdateCallback operations from the update thread:
//   0x504 OnUpdateAvailable -> CUpdateLogic::ShowUpdateNotice (the notice runs modally)
//   0x505 OnNoUpdate        -> ShowNoUpdateBox
//   0x506 OnUpdateReady     -> the window sets its update-ready flag and quits
//   0x507 OnDownloadFinish  -> RecordUpdateFinish
// Registry: HKLM SOFTWARE\Kestyl is opened, never created, here.
#pragma once

#include "desktop/foundation/update/update_logic.h"

#include <QWidget>

#include <functional>

namespace ks::desktop {
class IUIData;
}

namespace ks::update {

class CUpdateDlg;

inline constexpr unsigned kMsgUpdateAvailable = 0x504;
inline constexpr unsigned kMsgNoUpdate = 0x505;
inline constexpr unsigned kMsgUpdateReady = 0x506;
inline constexpr unsigned kMsgUpdateFinish = 0x507;

// Wires a manager to its owner window: `callback` receives the reports (it only posts),
// the notice runs with `owner` as parent, and automatic rounds ask `uiData` (own reference
// taken, released with the manager's environment; null: no transfer state) for the
// agent's transfer state.
void ConnectUpdateLogic(ks::desktop::update::CUpdateLogic& logic, ks::desktop::update::IUpdateCallback* callback,
                        QWidget* owner, ks::desktop::IUIData* uiData);

// 0x505: the box ("MESSAGEBOX","MSGBOX_NOUPDATE") captioned ("MESSAGEBOX",
// "MSGBOX_UPDATETITLE") with an OK button.
void ShowNoUpdateBox();

// 0x507: writes "UpdateFinish" = 1 when the key opens (a failed write is logged), then
// releases the update thread on every path. True when the value was written.
bool RecordUpdateFinish(ks::desktop::update::CUpdateLogic& logic);

// Once at start: when the key opens and "UpdateFinish" is 1, writes 0, calls
// `startCountdown` (the 5-second balloon link) and shows `dlg` near the bottom-right
// corner for `showMs`; then, when the key opened, releases a waiting update thread
// (`logic` may be null). True when the window was shown.
bool ShowUpdateFinishedInfo(CUpdateDlg& dlg, ks::desktop::update::CUpdateLogic* logic,
                            const std::function<void()>& startCountdown, int showMs = 5000);

// The tray command that checks for an update: starts a manual check, or tells the owner
// ("MESSAGEBOX","MSGBOX_ISUPDATINGNOW") that one is running. The box is shown with no lock
// held. Returns what StartCheck returned.
ks::desktop::update::CUpdateLogic::StartResult StartManualCheck(ks::desktop::update::CUpdateLogic& logic);

// At exit, after the window's quit path, when the update-ready flag is set: runs the
// verified installer only when the process belongs to the administrators
// (CKSUtil::IsUserAdmin); without those rights nothing runs (log line). True when it ran.
bool StartInstallerAtExit(ks::desktop::update::CUpdateLogic& logic);

}  // namespace ks::update
