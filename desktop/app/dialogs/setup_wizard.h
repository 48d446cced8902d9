// RunSetupWizard: the only way into the first-run wizard (wizard_dlg.h). The main window
// calls it once from its initialisation, before the log-in.
//
// Decision: the value "SetupWizard" of HKLM "SOFTWARE\Kestyl" (read as four bytes into a
// variable preset to 0). The key missing -> no wizard (the key is opened, never created
// here). The value 0 or missing -> the wizard runs; any other value -> it does not.
//
// When it runs: the main window and the log-in dialog are hidden, the wizard gets a copy
// of the main window's account record, *startupBusy is true while the wizard is open (the
// tray ignores clicks meanwhile) and false again after it, and the wizard runs modally
// (its own rules decide what is handed to the agent).
//
// GUI thread only.
#pragma once

#include "desktop/foundation/agentlink/ui_data.h"

class QWidget;

namespace ks::dialogs {

// What the main window lends the wizard's run; every member may be null.
struct SetupWizardHost {
  QWidget* mainWindow = nullptr;                    // hidden before the wizard shows
  QWidget* loginDialog = nullptr;                   // hidden too
  const ks::desktop::LoginInfo* loginInfo = nullptr;  // copied into the wizard
  bool* startupBusy = nullptr;                      // true while the wizard runs
  ks::desktop::IUIData* uiData = nullptr;           // null: the process-wide agent link
};

// The wizard's result (IDOK 1, IDCANCEL 2) when it ran; 0 when it did not.
int RunSetupWizard(const SetupWizardHost& host);

}  // namespace ks::dialogs
