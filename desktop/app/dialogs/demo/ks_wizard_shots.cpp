// Test tool: draws the first-run wizard's three steps offscreen, as the owner sees them.
//
//   ks-wizard-shots <out-folder> <sample-home>
//
// <sample-home> becomes HOME: the tool makes its Kestyl, Pictures and Music folders (when
// missing) so that step 2 lists the data folder and two shares. Writes
// <out-folder>/wizard-step1.png, wizard-step2.png and wizard-step3.png and prints one line
// per picture ("shot <file> <width>x<height>"). Texts and fonts come from the language
// files next to the program (KESTYL_LANGUAGE picks one). Nothing is sent to the agent: the
// wizard gets a link that answers every call with 0.
#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/app/dialogs/wizard_dlg.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_tables.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QTreeWidgetItem>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>

namespace {

using namespace ks::desktop;

class SilentLink : public IUIData {
 public:
  int AddRef() override { return 1; }
  int Release() override { return 1; }
  void SetCallBack(IUIDataCallBack*) override {}
  void ClearCallBack() override {}
  int Login(LoginInfo*, bool) override { return 0; }
  int Logout() override { return 0; }
  int GetLogOnInfo(LoginInfo*) override { return 0; }
  int GetDefShare(std::string*, bool) override { return 0; }
  int SetDefShare(const std::string&) override { return 0; }
  int GetShare() override { return 0; }
  int UpdateShares(const std::vector<std::string>&, const std::vector<std::string>&) override { return 0; }
  int GetLogOnStatus() override { return 0; }
  int GetTransferState() override { return 0; }
  int SetHost(const std::string&) override { return 0; }
  int GetTransLog() override { return 0; }
  int GetPath(const std::string&) override { return 0; }
  uint32_t GetSysTypeValue() override { return 0; }
  int AnswerConnectRequest(const ConnectDlgResult*) override { return 0; }
  int SetPwd(const std::string&) override { return 0; }
  int GetPwd(std::string*) override { return 0; }
  int GetAutoTiding(int*) override { return 0; }
  int SetAutoTiding(bool) override { return 0; }
  int SetupDataFolder() override { return 0; }
  int ExecInSession() override { return 0; }
};

void Settle() {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Save(QWidget* w, const QString& file) {
  Settle();
  const QImage shot = w->grab().toImage();
  if (!shot.save(file)) {
    std::fprintf(stderr, "ks-wizard-shots: cannot write %s\n", file.toLocal8Bit().constData());
    return false;
  }
  std::printf("shot %s %dx%d\n", file.toLocal8Bit().constData(), shot.width(), shot.height());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ks-wizard-shots <out-folder> <sample-home>\n");
    return 2;
  }
  const QString out = QString::fromLocal8Bit(argv[1]);
  const std::string home = std::filesystem::absolute(argv[2]).lexically_normal().string();
  std::error_code ec;
  for (const char* d : {"Kestyl", "Pictures", "Music"}) std::filesystem::create_directories(home + "/" + d, ec);
  ::setenv("HOME", home.c_str(), 1);
  QDir().mkpath(out);

  QApplication app(argc, argv);
  ks::ui::InstallFontSubstitutions();
  ks::ui::InstallLanguageTables();

  std::deque<QString> picks = {QString::fromStdString(home + "/Pictures"), QString::fromStdString(home + "/Music")};
  ks::dialogs::SetFolderPicker([&](QWidget*, const QString&) -> std::optional<QString> {
    if (picks.empty()) return std::nullopt;
    QString next = picks.front();
    picks.pop_front();
    return next;
  });

  SilentLink link;
  ks::dialogs::CWizardDlg wizard(&link);
  wizard.show();
  bool ok = Save(&wizard, out + "/wizard-step1.png");
  wizard.OnBnClickedNextButton();
  wizard.OnBnClickedAddButton();
  wizard.OnBnClickedAddButton();
  if (QTreeWidgetItem* row = wizard.FolderList()->topLevelItem(1)) row->setSelected(true);
  ok = Save(&wizard, out + "/wizard-step2.png") && ok;
  wizard.OnBnClickedNextButton();
  ok = Save(&wizard, out + "/wizard-step3.png") && ok;
  return ok ? 0 : 1;
}
