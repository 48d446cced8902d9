// The window-free rules of the log-in road: the status poll step, the log-in error display,
// the tray icon table and its frames, and the banner address.
#include "desktop/app/login/login_rules.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace ks::login;

LoginState State(int status, int mobile = 1) {
  LoginState st;
  st.loginStatus = status;
  st.mobileStatic = mobile;
  st.statusTimer = 7;
  return st;
}

TEST(StatusStep, TableOfTicks) {
  struct Case {
    const char* name;
    int recorded;
    bool setupDone;
    int s;
    int nextMs;
    bool slowed, setup, loging, error;
  } cases[] = {
      {"first poll of a log-on runs the set-up", 3, false, 1, 2000, false, true, false, false},
      {"set-up only once", 3, true, 1, 2000, false, false, false, false},
      {"second poll of a log-on sets the log-in flag", 1, true, 1, 2000, false, false, true, false},
      {"no reply while logging in slows down", 3, false, -3, 5000, true, false, false, false},
      {"no reply while idle is recorded", 2, false, -3, 2000, false, false, false, false},
      {"recorded no reply is shown next poll", -3, false, 2, 2000, false, false, false, true},
      {"idle never shows an error", 2, false, 4, 2000, false, false, false, false},
      {"logging in never shows an error", 3, false, 4, 2000, false, false, false, false},
      {"an error is shown one poll late", 4, false, 2, 2000, false, false, false, true},
      {"time-out recorded goes to the error display", 10060, false, 1, 2000, false, true, false, true},
  };
  for (const Case& c : cases) {
    LoginState st = State(c.recorded);
    st.loginSetupDone = c.setupDone;
    StatusPlan plan = StatusStep(st, 7, c.s);
    EXPECT_FALSE(plan.ignored) << c.name;
    EXPECT_EQ(plan.nextMs, c.nextMs) << c.name;
    EXPECT_EQ(plan.slowed, c.slowed) << c.name;
    EXPECT_EQ(plan.runSetup, c.setup) << c.name;
    EXPECT_EQ(plan.setLoging, c.loging) << c.name;
    EXPECT_EQ(plan.showError, c.error) << c.name;
  }
}

TEST(StatusStep, TickOfAnotherOrAStoppedPollChangesNothing) {
  EXPECT_TRUE(StatusStep(State(4), 8, 1).ignored);
  LoginState stopped = State(4);
  stopped.statusTimer = 0;
  EXPECT_TRUE(StatusStep(stopped, 0, 1).ignored);
}

TEST(LoginErrorStep, TableOfStatuses) {
  struct Case {
    int status;
    LoginErrorKind kind;
  } cases[] = {
      {4, LoginErrorKind::kBackToDialog},  {7, LoginErrorKind::kBackToDialog}, {10060, LoginErrorKind::kSilent},
      {0, LoginErrorKind::kSilent},        {-2, LoginErrorKind::kSilent},      {-3, LoginErrorKind::kSilent},
      {4103, LoginErrorKind::kOtherBox},   {6, LoginErrorKind::kOtherBox},
  };
  for (const Case& c : cases) {
    LoginErrorState errors;
    LoginState st = State(c.status);
    st.isLoging = true;
    EXPECT_EQ(LoginErrorStep(errors, st).kind, c.kind) << c.status;
    EXPECT_EQ(errors.connectFailCount, 0) << c.status;
  }
}

TEST(LoginErrorStep, ConnectFailureBalloonFirstAfterStartThenFromTheSecondInARow) {
  LoginErrorState errors;
  LoginState fail = State(5);
  fail.isLoging = true;
  LoginErrorPlan first = LoginErrorStep(errors, fail);
  EXPECT_EQ(first.kind, LoginErrorKind::kConnectFail);
  EXPECT_TRUE(first.balloon);

  LoginState other = State(4);
  other.isLoging = true;
  LoginErrorStep(errors, other);  // any other status breaks the run
  EXPECT_FALSE(LoginErrorStep(errors, fail).balloon);
  EXPECT_TRUE(LoginErrorStep(errors, fail).balloon);
}

TEST(LoginErrorStep, BusyOrNoLogInUnderWaySkipsAndCountsNothing) {
  LoginErrorState errors;
  errors.showMessageBox = 1;
  LoginState st = State(5);
  st.isLoging = true;
  EXPECT_EQ(LoginErrorStep(errors, st).kind, LoginErrorKind::kSkipped);
  errors.showMessageBox = 0;
  st.isLoging = false;
  EXPECT_EQ(LoginErrorStep(errors, st).kind, LoginErrorKind::kSkipped);
  EXPECT_EQ(errors.connectFailCount, 1);
}

TEST(OtherErrorText, CodeInHex) {
  EXPECT_EQ(OtherErrorText("Other error", 4103), "Other error, code: 1007");
  EXPECT_EQ(OtherErrorText("", 255), ", code: ff");
}

TEST(TrayIconFor, TableOfStates) {
  struct Case {
    const char* name;
    bool network;
    bool loggedOut;
    int status;
    int mobile;
    unsigned icon;
    TrayTimer timer;
    TrayLine line;
  } cases[] = {
      {"no network wins over everything", false, false, 1, 3, 174, TrayTimer::kStop, TrayLine::kKeep},
      {"logged out", true, true, 1, 1, 174, TrayTimer::kStop, TrayLine::kOffline},
      {"online without device", true, false, 1, 1, 368, TrayTimer::kStop, TrayLine::kOffline},
      {"idle", true, false, 2, 1, 174, TrayTimer::kStop, TrayLine::kOffline},
      {"logging in animates", true, false, 3, 1, 0, TrayTimer::kStart, TrayLine::kOffline},
      {"agent time-out keeps icon and animation", true, false, 10060, 1, 0, TrayTimer::kKeep, TrayLine::kOffline},
      {"other status", true, false, 4103, 1, 174, TrayTimer::kStop, TrayLine::kOffline},
      {"device linked", true, false, 1, 2, 239, TrayTimer::kStop, TrayLine::kOnline},
      {"upload animates", true, false, 1, 3, 0, TrayTimer::kStart, TrayLine::kKeep},
      {"download animates", true, false, 2, 4, 0, TrayTimer::kStart, TrayLine::kKeep},
      {"no mobile answer", true, false, 1, 0, 0, TrayTimer::kKeep, TrayLine::kKeep},
      {"no status answer", true, false, 0, 1, 0, TrayTimer::kKeep, TrayLine::kKeep},
      {"unknown mobile state", true, false, 1, 9, 0, TrayTimer::kKeep, TrayLine::kKeep},
  };
  for (const Case& c : cases) {
    LoginState st = State(c.status, c.mobile);
    st.networkAlive = c.network;
    st.loggedOut = c.loggedOut;
    TrayPlan plan = TrayIconFor(st);
    EXPECT_EQ(plan.icon, c.icon) << c.name;
    EXPECT_EQ(plan.timer, c.timer) << c.name;
    EXPECT_EQ(plan.line, c.line) << c.name;
    EXPECT_EQ(plan.noNetwork, !c.network) << c.name;
  }
}

// Waiting connection requests own the icon: every state keeps its menus and animation timer
// but no steady icon replaces the flashing.
TEST(TrayIconFor, WaitingRequestsKeepTheFlashingIcon) {
  const struct {
    bool network;
    int status;
    int mobile;
  } states[] = {{true, 1, 1}, {true, 2, 1}, {true, 3, 1}, {true, 1, 2}, {true, 1, 3}, {false, 1, 1}};
  for (const auto& s : states) {
    LoginState st = State(s.status, s.mobile);
    st.networkAlive = s.network;
    const TrayPlan steady = TrayIconFor(st);
    st.requestsWaiting = true;
    const TrayPlan flashing = TrayIconFor(st);
    EXPECT_EQ(flashing.icon, 0u) << s.status << "/" << s.mobile;
    EXPECT_EQ(flashing.timer, steady.timer) << s.status << "/" << s.mobile;
    EXPECT_EQ(flashing.line, steady.line) << s.status << "/" << s.mobile;
    EXPECT_EQ(flashing.noNetwork, steady.noNetwork) << s.status << "/" << s.mobile;
  }
}

std::vector<unsigned> Frames(int mobile, int status, int ticks, bool waiting = false, int frame = 0) {
  std::vector<unsigned> icons;
  for (int i = 0; i < ticks; ++i) {
    TrayFrame f = TrayFrameFor(mobile, status, frame, waiting);
    icons.push_back(f.icon);
    frame = f.nextFrame;
  }
  return icons;
}

TEST(TrayFrameFor, AnimationsCycle) {
  // Logging in: three frames and a pause tick.
  EXPECT_EQ(Frames(1, 3, 8), (std::vector<unsigned>{320, 349, 350, 0, 320, 349, 350, 0}));
  EXPECT_EQ(Frames(3, 1, 6), (std::vector<unsigned>{240, 241, 355, 240, 241, 355}));
  EXPECT_EQ(Frames(3, 2, 3), (std::vector<unsigned>{242, 243, 353}));
  EXPECT_EQ(Frames(4, 1, 3), (std::vector<unsigned>{313, 314, 356}));
  EXPECT_EQ(Frames(4, 5, 3), (std::vector<unsigned>{315, 316, 354}));
  EXPECT_FALSE(TrayFrameFor(1, 3, 0).transferTip);
  EXPECT_TRUE(TrayFrameFor(3, 1, 0).transferTip);
  // The frame only wraps: a transfer picks up where the log-in left off (frame 3 -> 0).
  EXPECT_EQ(TrayFrameFor(3, 1, 3).icon, 240u);
  TrayFrame none = TrayFrameFor(0, 1, 2);
  EXPECT_FALSE(none.acts);
  EXPECT_EQ(none.nextFrame, 2);
}

TEST(TrayFrameFor, WaitingRequestsFlashBeforeTheMobileState) {
  const std::vector<unsigned> flash{255, 254, 255, 254, 255};
  // Whatever the mobile state (the status poll rewrites it every 2 s) and wherever another
  // animation left the frame.
  for (int mobile : {0, 1, 2, 3, 4, 9}) EXPECT_EQ(Frames(mobile, 1, 5, true), flash) << mobile;
  EXPECT_EQ(Frames(1, 3, 4, true, 2), (std::vector<unsigned>{255, 254, 255, 254}));
  EXPECT_EQ(Frames(3, 1, 2, true, 3), (std::vector<unsigned>{254, 255}));
  EXPECT_EQ(Frames(1, 3, 2, true, -1), (std::vector<unsigned>{255, 254}));
  EXPECT_FALSE(TrayFrameFor(3, 1, 0, true).transferTip);
  // None left: the animation of the state takes over again.
  TrayFrame after = TrayFrameFor(1, 3, TrayFrameFor(1, 3, 0, true).nextFrame);
  EXPECT_EQ(after.icon, 349u);
}

TEST(BannerAddress, LanguageSuffix) {
  EXPECT_EQ(BannerAddress("http://127.0.0.1:9", 0), "http://127.0.0.1:9/kestyl/bannerpc?L=cn");
  EXPECT_EQ(BannerAddress("http://h", 1), "http://h/kestyl/bannerpc?L=en");
  EXPECT_EQ(BannerAddress("http://h", 2), "http://h/kestyl/bannerpc?L=tw");
  EXPECT_EQ(BannerAddress("http://h", -1), "http://h/kestyl/bannerpc");
}

}  // namespace
