// The first-run wizard's entry from the main window: runs the wizard modally when HKLM
// "SOFTWARE\Kestyl" holds "SetupWizard" 0 or no such value (a key that cannot be opened: no
// wizard). While it runs, the main window and the log-in dialog are hidden and
// `startupBusy` is set (tray clicks are ignored). The wizard gets a copy of `loginInfo`.
// GUI thread only.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

class QWidget;

namespace ks::dialogs {

void RunSetupWizard(QWidget* mainWindow, QWidget* loginDlg, const ks::desktop::LoginInfo& loginInfo,
                    bool& startupBusy);

}  // namespace ks::dialogs
