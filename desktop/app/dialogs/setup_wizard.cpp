#include "desktop/app/dialogs/setup_wizard.h"

#include "desktop/app/dialogs/wizard_dlg.h"
#include "platform/registry.h"

#include <QWidget>

#include <cstring>

namespace ks::dialogs {

namespace {

// True when the key exists and "SetupWizard" is 0 or missing.
bool WizardWanted() {
  using namespace ks::platform;
  HKEY key = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Kestyl", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
    return false;
  uint8_t data[4] = {0, 0, 0, 0};
  uint32_t type = 0;
  uint32_t size = sizeof data;
  RegQueryValueEx(key, "SetupWizard", nullptr, &type, data, &size);
  RegCloseKey(key);
  uint32_t value = 0;
  std::memcpy(&value, data, sizeof value);
  return value == 0;
}

}  // namespace

int RunSetupWizard(const SetupWizardHost& host) {
  if (!WizardWanted()) return 0;
  if (host.mainWindow) host.mainWindow->hide();
  if (host.loginDialog) host.loginDialog->hide();

  CWizardDlg wizard(host.uiData);
  if (host.loginInfo && !wizard.HasAccountCopy()) wizard.SetAccountCopy(*host.loginInfo);
  if (host.startupBusy) *host.startupBusy = true;
  const int result = wizard.DoModal();
  if (host.startupBusy) *host.startupBusy = false;
  return result;
}

}  // namespace ks::dialogs
