#include "desktop/app/login/login_rules.h"

#include <cstdio>

namespace ks::login {

StatusPlan StatusStep(const LoginState& state, unsigned tickTimer, int s) {
  StatusPlan plan;
  if (state.statusTimer == 0 || tickTimer != state.statusTimer) {
    plan.ignored = true;
    return plan;
  }
  // The agent is busy logging in and did not reply: ask less often and keep the state.
  if (s == kAgentNoReply && state.loginStatus == kLoginBusy) {
    plan.nextMs = kStatusPollSlowMs;
    plan.slowed = true;
    return plan;
  }
  plan.runSetup = state.loginStatus != kLoginOnline && s == kLoginOnline && !state.loginSetupDone;
  plan.setLoging = state.loginStatus == kLoginOnline && s == kLoginOnline;
  // The error shown is the one recorded by the previous poll, so it comes one poll late.
  plan.showError = state.loginStatus != kLoginOnline && state.loginStatus != kLoginIdle &&
                   state.loginStatus != kLoginBusy;
  return plan;
}

LoginErrorPlan LoginErrorStep(LoginErrorState& errors, const LoginState& state) {
  LoginErrorPlan plan;
  if (errors.showMessageBox != 0 || !state.isLoging) return plan;
  if (state.loginStatus == kLoginConnectFail)
    ++errors.connectFailCount;
  else
    errors.connectFailCount = 0;
  const int s = state.loginStatus;
  if (s == kLoginIdOrPassword || s == kLoginWrongPassword) {
    plan.kind = LoginErrorKind::kBackToDialog;
  } else if (s == kLoginConnectFail) {
    plan.kind = LoginErrorKind::kConnectFail;
    plan.balloon = errors.connectFailCount >= 2;
  } else if (s > 0 && s != kAgentTimedOut) {
    plan.kind = LoginErrorKind::kOtherBox;
  } else {
    plan.kind = LoginErrorKind::kSilent;
  }
  return plan;
}

std::string OtherErrorText(const std::string& text, int status) {
  char code[16];
  std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(status));
  return text + ", code: " + code;
}

namespace {

TrayPlan SteadyTrayPlan(const LoginState& state) {
  TrayPlan plan;
  if (!state.networkAlive) {
    plan.icon = 174;
    plan.timer = TrayTimer::kStop;
    plan.noNetwork = true;
    return plan;
  }
  const int mobile = state.mobileStatic;
  if (state.loginStatus == 0 || mobile < 1 || mobile > 4) return plan;
  switch (mobile) {
    case 1:
      plan.line = TrayLine::kOffline;
      plan.timer = TrayTimer::kStop;
      if (state.loggedOut) {
        plan.icon = 174;
      } else if (state.loginStatus == kLoginOnline) {
        plan.icon = 368;
      } else if (state.loginStatus == kLoginBusy) {
        plan.timer = TrayTimer::kStart;
      } else if (state.loginStatus == kAgentTimedOut) {
        plan.timer = TrayTimer::kKeep;
      } else {
        plan.icon = 174;
      }
      break;
    case 2:
      plan.icon = 239;
      plan.timer = TrayTimer::kStop;
      plan.line = TrayLine::kOnline;
      break;
    default:
      plan.timer = TrayTimer::kStart;
      break;
  }
  return plan;
}

}  // namespace

TrayPlan TrayIconFor(const LoginState& state) {
  TrayPlan plan = SteadyTrayPlan(state);
  if (state.requestsWaiting) plan.icon = 0;
  return plan;
}

TrayFrame TrayFrameFor(int mobileStatic, int loginStatus, int frame, bool requestsWaiting) {
  TrayFrame out;
  if (requestsWaiting) {
    const int f = frame > 0 ? frame % 2 : 0;
    out.acts = true;
    out.icon = f == 0 ? 255 : 254;
    out.nextFrame = f + 1;
    return out;
  }
  if (mobileStatic == 1 || mobileStatic == 2) {
    if (frame > 3) frame = 0;
    static constexpr unsigned kLogin[4] = {320, 349, 350, 0};
    out.acts = true;
    out.icon = kLogin[frame < 0 ? 0 : frame];
  } else if (mobileStatic == 3 || mobileStatic == 4) {
    if (frame > 2) frame = 0;
    static constexpr unsigned kUp[2][3] = {{242, 243, 353}, {240, 241, 355}};
    static constexpr unsigned kDown[2][3] = {{315, 316, 354}, {313, 314, 356}};
    const int online = loginStatus == kLoginOnline ? 1 : 0;
    const int f = frame < 0 ? 0 : frame;
    out.acts = true;
    out.icon = mobileStatic == 3 ? kUp[online][f] : kDown[online][f];
    out.transferTip = true;
  } else {
    out.nextFrame = frame;
    return out;
  }
  out.nextFrame = (frame < 0 ? 0 : frame) + 1;
  return out;
}

std::string BannerAddress(const std::string& webUrl, int language) {
  std::string url = webUrl + "/kestyl/bannerpc";
  if (language == 0) url += "?L=cn";
  if (language == 1) url += "?L=en";
  if (language == 2) url += "?L=tw";
  return url;
}

}  // namespace ks::login
