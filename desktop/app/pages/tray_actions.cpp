#include "desktop/app/pages/tray_actions.h"

#include "desktop/foundation/web/web.h"

namespace ks::pages {

TrayAction TrayActionFor(unsigned mouseMessage, const TrayState& state) {
  switch (mouseMessage) {
    case kTrayBalloonClick:
      return state.balloonCountdown > 0 ? TrayAction::kOpenHomePage : TrayAction::kNothing;
    case kTrayLeftButtonDown:
      if (state.hasConnectRequests) return TrayAction::kShowConnectRequest;
      if (state.startupBusy) return TrayAction::kNothing;
      if (state.loginStatus == kLoginOnline || state.loginStatus == kLoginLogging) return TrayAction::kOpenDataFolder;
      return TrayAction::kShowLoginDialog;
    case kTrayRightButtonUp:
      return TrayAction::kShowMenu;
    default:
      return TrayAction::kNothing;
  }
}

int TrayMenuFor(const TrayState& state) {
  return state.loginStatus == kLoginOnline && !state.loggedOut ? 139 : 145;
}

std::string TrayCommandAddress(unsigned command) {
  namespace web = ks::desktop::web;
  switch (command) {
    case 0:
      return web::PageUrl(web::kRootPage);
    case kCmdDownload:
      return web::PageUrl(web::kDownloadPage);
    case kCmdHelp:
      return web::PageUrl(web::kFaqPage);
    case kCmdFeedback:
      return web::BlogBookUrl();
    default:
      return "";
  }
}

}  // namespace ks::pages
