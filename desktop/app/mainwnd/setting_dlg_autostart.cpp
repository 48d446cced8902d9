// Start with the session: the window's side of SetAutoStart (the elevation step with its
// notice, the check box's value, the pending toggle).
#include "desktop/app/mainwnd/setting_dlg.h"
#include "desktop/app/shell/system_hosts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/util/ks_util.h"

namespace ks::mainwnd {

namespace {

class WindowAutoStartHost final : public ks::app::SystemAutoStartHost {
 public:
  explicit WindowAutoStartHost(CSettingDlg* dlg) : dlg_(dlg) {}
  bool RunElevated(const std::string& program, const std::string& parameters, const std::string& messageKey) override {
    return dlg_->RunElevated(program, parameters, ks::ui::LangText("MESSAGEBOX", messageKey).toStdString());
  }

 private:
  CSettingDlg* dlg_;
};

}  // namespace

std::unique_ptr<ks::app::AutoStartHost> MakeWindowAutoStartHost(CSettingDlg* dlg) {
  return std::make_unique<WindowAutoStartHost>(dlg);
}

void CSettingDlg::SetAutoStart() {
  UpdateData(true);
  ks::app::SetAutoStart(*options_.autoStartHost, CKSUtil::GetModuleFolder(true), m_bAutoStartCheck != 0, m_bAutoStart);
}

}  // namespace ks::mainwnd
