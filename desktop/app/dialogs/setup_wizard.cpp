#include "desktop/app/dialogs/setup_wizard.h"

namespace ks::dialogs {

// Nothing runs until the wizard's start-up rules land here.
void RunSetupWizard(QWidget*, QWidget*, const ks::desktop::LoginInfo&, bool&) {}

}  // namespace ks::dialogs
