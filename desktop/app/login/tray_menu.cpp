#include "desktop/app/login/tray_menu.h"

#include "desktop/foundation/ui/language_source.h"

#include <QAction>

namespace ks::login {

using ks::skin::CDiyMenu;

namespace {

constexpr int kHelpPosition = 8;
constexpr int kSeparatorPositions[] = {2, 6, 9};

QString Ui(const char* key) { return ks::ui::LangText("UI", key); }

// Modifies the item of `id` wherever it sits: the menu itself or its help sub-menu (each
// menu keeps the texts of its own items, which it draws).
void Modify(CDiyMenu& menu, unsigned id, unsigned flags, const QString& text) {
  if (menu.ModifyItem(id, flags, id, text)) return;
  if (CDiyMenu* help = HelpMenuOf(menu)) help->ModifyItem(id, flags, id, text);
}

void ModifyBoth(CDiyMenu& a, CDiyMenu& b, unsigned id, unsigned flags, const char* key) {
  const QString text = Ui(key);
  Modify(a, id, flags, text);
  Modify(b, id, flags, text);
}

}  // namespace

CDiyMenu* MakeTrayMenu(int resource, QWidget* parent) {
  auto* menu = new CDiyMenu(parent);
  FillTrayMenu(*menu, resource);
  return menu;
}

void FillTrayMenu(CDiyMenu& target, int resource) {
  if (!target.actions().isEmpty()) return;
  CDiyMenu* menu = &target;
  const bool loggedIn = resource == kTrayMenuLoggedIn;
  // The texts here are placeholders; BuildTrayMenu puts the language's texts in.
  menu->AppendItem(kCmdOpenFolder, QStringLiteral("Open folder"));
  menu->AppendItem(loggedIn ? kCmdSwitchAccount : kCmdLogin,
                   loggedIn ? QStringLiteral("Switch account") : QStringLiteral("Log in"));
  menu->AppendSeparator();
  menu->AppendItem(kCmdHostedNetwork, QStringLiteral("Hosted network"));
  menu->AppendItem(kCmdMobileLine, QStringLiteral("Mobile"), false);
  menu->AppendItem(kCmdDownload, QStringLiteral("Download"));
  menu->AppendSeparator();
  menu->AppendItem(kCmdSettings, QStringLiteral("Settings"));
  auto* help = new CDiyMenu(menu);
  help->AppendItem(kCmdUpdate, QStringLiteral("Update"));
  help->AppendItem(kCmdHelp, QStringLiteral("Help"));
  help->AppendItem(kCmdFeedback, QStringLiteral("Feedback"));
  help->AppendItem(kCmdAbout, QStringLiteral("About"));
  menu->AppendSubMenu(help, QStringLiteral("Help"));
  menu->AppendSeparator();
  menu->AppendItem(kCmdExit, QStringLiteral("Exit"));
}

CDiyMenu* HelpMenuOf(const CDiyMenu& menu) {
  for (QAction* a : menu.actions())
    if (auto* sub = qobject_cast<CDiyMenu*>(a->menu())) return sub;
  return nullptr;
}

void BuildTrayMenu(CDiyMenu& tray, CDiyMenu& trayLogin, int osMajor) {
  constexpr unsigned kDrawn = CDiyMenu::MF_OWNERDRAW;
  constexpr unsigned kDisabled = CDiyMenu::MF_OWNERDRAW | CDiyMenu::MF_GRAYED;
  ModifyBoth(tray, trayLogin, kCmdExit, kDrawn, "TRAYMENU_EXIT");
  ModifyBoth(tray, trayLogin, kCmdHostedNetwork, kDrawn, "TRAYMENU_AP");
  Modify(tray, kCmdSwitchAccount, kDrawn, Ui("TRAYMENU_CHANGACCOUNT"));
  Modify(trayLogin, kCmdLogin, kDrawn, Ui("TRAYMENU_LOGIN"));
  ModifyBoth(tray, trayLogin, kCmdSettings, kDrawn, "TRAYMENU_SHAREMANAGE");
  ModifyBoth(tray, trayLogin, kCmdAbout, kDrawn, "TRAYMENU_ABOUT");
  ModifyBoth(tray, trayLogin, kCmdOpenFolder, kDrawn, "TRAYMENU_OPENFOLDER");
  ModifyBoth(tray, trayLogin, kCmdDownload, kDrawn, "TRAYMENU_DOWNLOAD");
  ModifyBoth(tray, trayLogin, kCmdHelp, kDrawn, "TRAYMENU_HELPCENTER");
  ModifyBoth(tray, trayLogin, kCmdFeedback, kDrawn, "TRAYMENU_FEEFBACK");
  // The status line only reports; it can never be chosen.
  ModifyBoth(tray, trayLogin, kCmdMobileLine, kDisabled, "TRAYMENU_MOBILE_OUTLINE");
  // The hosted network needs a system that has one.
  if (osMajor <= 5) ModifyBoth(tray, trayLogin, kCmdHostedNetwork, kDisabled, "TRAYMENU_AP");
  const QString helpText = Ui("TRAYMENU_HELP");
  for (CDiyMenu* menu : {&tray, &trayLogin}) {
    const QList<QAction*> items = menu->actions();
    if (items.size() > kHelpPosition) {
      // The entry keeps its sub-menu; its id only keys the text.
      items.at(kHelpPosition)->setData(kHelpEntry);
      menu->ModifyItem(kHelpEntry, kDrawn, kHelpEntry, helpText);
    }
    for (int position : kSeparatorPositions)
      if (items.size() > position && items.at(position)->isSeparator()) items.at(position)->setEnabled(false);
  }
  ModifyBoth(tray, trayLogin, kCmdUpdate, kDrawn, "TRAYMENU_UPDATE");
}

void SetMobileLine(CDiyMenu& tray, CDiyMenu& trayLogin, bool online) {
  const QString text = Ui(online ? "TRAYMENU_MOBILE_ONLINE" : "TRAYMENU_MOBILE_OUTLINE");
  for (CDiyMenu* menu : {&tray, &trayLogin}) {
    menu->ModifyItem(kCmdMobileLine, CDiyMenu::MF_OWNERDRAW | CDiyMenu::MF_GRAYED, kCmdMobileLine, text);
    menu->m_bOnline = online;
  }
}

}  // namespace ks::login
