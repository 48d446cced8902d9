// The registration dialog: the order of its input checks, the info text of each result, and
// the worker's hand-overs (info line, new account to the log-in dialog), one registration at
// a time, closing while one runs, and a dialog destroyed under a blocked request.
#include "desktop/app/connect/register_account_dlg.h"
#include "desktop/foundation/ui/language_source.h"

#include <QTest>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/desktop/app/connect/connect_language.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/ui/ui_test_kit.h"

namespace {

using namespace ks::desktop;
using D = CRegisterAccountDlg;

TEST(RegisterInput, FirstFailingCheckDecides) {
  const QString ok6 = "abcdef";
  const QString ok16 = "abcdefghij123456";
  const QString mail31 = QString(26, 'a') + "@x.cn";
  const QString mail32 = QString(27, 'a') + "@x.cn";
  struct Case {
    QString email, password, repeated;
    bool ticked;
    const char* key;
    int control;
  } cases[] = {
      {"me@x.cn", ok6, ok6, true, nullptr, 0},
      {"me@x.cn", ok16, ok16, true, nullptr, 0},
      {mail31, ok6, ok6, true, nullptr, 0},
      {"me@x.cn", "abcde", "abcde", true, "REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit},
      {"me@x.cn", ok16 + "7", ok16 + "7", true, "REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit},
      {"m;e@x.cn", ok6, ok6, true, "REGACCOUNT_INFO_INVALIDEMAIL", D::kEmailEdit},
      {"me@x.cn;", ok6, ok6, true, "REGACCOUNT_INFO_INVALIDEMAIL", D::kEmailEdit},
      {"not-an-address", "x", "y", false, "REGACCOUNT_INFO_INVALIDEMAIL", D::kEmailEdit},
      {mail32, ok6, ok6, true, "REGACCOUNT_INFO_ADDRTOOLONG", D::kEmailEdit},
      // a forbidden character in the repeat is reported before the first password's length
      {"me@x.cn", "abc", "ab;", true, "REGACCOUNT_INFO_INVALIDPASS", D::kRepeatEdit},
      {"me@x.cn", "abc$def", "abc$def", true, "REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit},
      {"me@x.cn", ok6, "abcdeg", true, "REGACCOUNT_INFO_PASSMISMATCH", D::kPasswordEdit},
      {"me@x.cn", ok6, "ABCDEF", true, "REGACCOUNT_INFO_PASSMISMATCH", D::kPasswordEdit},
      {"me@x.cn", ok6, ok6, false, "REGACCOUNT_INFO_NOTCHECKED", D::kInfoLine},
      // a lone surrogate does not survive the conversion
      {"me@x.cn", QString("abcde") + QChar(0xD800), QString("abcde") + QChar(0xD800), true,
       "REGACCOUNT_INFO_INVALIDPASS", D::kPasswordEdit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.email + " / " + c.password + " / " + c.repeated).toStdString());
    const RegisterCheck r = CheckRegisterInput(c.email, c.password, c.repeated, c.ticked);
    if (c.key == nullptr) {
      EXPECT_EQ(nullptr, r.key) << r.key;
    } else {
      ASSERT_NE(nullptr, r.key);
      EXPECT_STREQ(c.key, r.key);
      EXPECT_EQ(c.control, r.control);
    }
  }
}

TEST(RegisterInput, InfoKeyOfEachResult) {
  const std::pair<int, const char*> cases[] = {
      {2, "REGACCOUNT_INFO_EMPTY"},          {-30, "REGACCOUNT_INFO_TIMELIMIT"},
      {-11, "REGACCOUNT_INFO_EMAILREGISTERED"}, {-7, "REGACCOUNT_INFO_INVALIDEMAIL"},
      {-6, "REGACCOUNT_INFO_INVALIDPASS"},   {-8, "REGACCOUNT_INFO_NETWORKERR"},
      {-42, "REGACCOUNT_INFO_NETWORKERR"},   {-43, "REGACCOUNT_INFO_NETWORKERR"},
      {-45, "REGACCOUNT_INFO_NETWORKERR"},   {0, "REGACCOUNT_INFO_NETWORKERR"},
      {1, "REGACCOUNT_INFO_NETWORKERR"},
  };
  for (const auto& [result, key] : cases) EXPECT_STREQ(key, RegisterInfoKey(result)) << result;
}

// A request the test lets go when it wants; records every call.
class GatedRequest {
 public:
  explicit GatedRequest(int result, bool open = false) : result_(result), open_(open) {}
  D::RegisterFunction Function() {
    return [this](const std::string& email, const std::string& password) {
      std::unique_lock<std::mutex> lock(mutex_);
      calls_.push_back({email, password});
      changed_.wait(lock, [this] { return open_; });
      return result_;
    };
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  std::vector<std::pair<std::string, std::string>> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int result_;
  bool open_;
  std::vector<std::pair<std::string, std::string>> calls_;
};

class RegisterDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::KeyLanguage>());
    login_ = std::make_unique<ks::login::CLoginDlg>();
    login_->m_pCallback = &calls_;
    login_->m_writeRemPass = [](const std::string&) {};
    // The log-in dialog is made once and kept hidden until a log-in is needed.
    login_->show();
    login_->hide();
    dlg_ = std::make_unique<D>();
    dlg_->SetOwner(login_.get());
  }
  void TearDown() override {
    dlg_.reset();
    login_.reset();
    EXPECT_TRUE(kstest::WaitUntil([] { return D::RunningRegistrations() == 0; }, 30000));
    kstest::ProcessEvents();
    ks::ui::SetLanguageSource(nullptr);
  }
  void Fill(const QString& email, const QString& password, const QString& repeated) {
    dlg_->show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg_->isVisible(); }));
    dlg_->emailEdit()->setText(email);
    dlg_->passwordEdit()->setText(password);
    dlg_->repeatEdit()->setText(repeated);
  }
  QString Info() const { return dlg_->infoLine()->text(); }

  kstest::RecordingLoginCallback calls_;
  std::unique_ptr<ks::login::CLoginDlg> login_;
  std::unique_ptr<D> dlg_;
};

TEST_F(RegisterDialog, NewAccountLogsInWithTheLowerCasedAddress) {
  GatedRequest request(2, true);
  dlg_->SetRegisterFunction(request.Function());
  Fill("Me@Example.cn", "Secret1", "Secret1");
  EXPECT_TRUE(dlg_->termsBox()->isChecked());
  EXPECT_EQ(31, dlg_->emailEdit()->maxLength());
  // Return in an edit is the register action.
  QTest::keyClick(dlg_->repeatEdit(), Qt::Key_Return);
  ASSERT_TRUE(kstest::WaitUntil([&] { return !calls_.calls.empty(); }, 10000));
  ASSERT_TRUE(kstest::WaitUntil([] { return D::RunningRegistrations() == 0; }, 10000));

  ASSERT_EQ(1u, request.Calls().size());
  EXPECT_EQ("Me@Example.cn", request.Calls()[0].first);  // the request lower-cases it itself
  EXPECT_EQ("Secret1", request.Calls()[0].second);
  ASSERT_EQ(1u, calls_.calls.size());
  EXPECT_EQ("OnLogin", calls_.calls[0].kind);
  EXPECT_EQ("me@example.cn", calls_.calls[0].account);
  EXPECT_EQ("Secret1", calls_.calls[0].password);
  EXPECT_EQ(1, calls_.calls[0].hash);  // a typed password: hashed on the way
  EXPECT_EQ(1u, calls_.calls[0].remember);
  EXPECT_TRUE(login_->rememberBox()->isChecked());
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_TRUE(dlg_->emailEdit()->text().isEmpty());
  EXPECT_TRUE(dlg_->passwordEdit()->text().isEmpty());
  EXPECT_EQ("REGACCOUNT_INFO_EMPTY|", Info());
  EXPECT_FALSE(dlg_->Registering());
}

TEST_F(RegisterDialog, RefusalShowsItsTextAndKeepsTheFields) {
  GatedRequest request(-11, true);
  dlg_->SetRegisterFunction(request.Function());
  Fill("me@x.cn", "secret1", "secret1");
  QTest::mouseClick(dlg_->registerButton(), Qt::LeftButton);
  ASSERT_TRUE(kstest::WaitUntil([] { return D::RunningRegistrations() == 0; }, 10000));
  kstest::ProcessEvents();
  EXPECT_EQ("REGACCOUNT_INFO_EMAILREGISTERED|", Info());
  EXPECT_TRUE(dlg_->isVisible());
  EXPECT_EQ("me@x.cn", dlg_->emailEdit()->text());
  EXPECT_TRUE(calls_.calls.empty());
  EXPECT_FALSE(dlg_->Registering());

  // The owner may try again.
  QTest::mouseClick(dlg_->registerButton(), Qt::LeftButton);
  ASSERT_TRUE(kstest::WaitUntil([&] { return request.Calls().size() == 2 && D::RunningRegistrations() == 0; }));
}

TEST_F(RegisterDialog, UntickedTermsStartNothing) {
  GatedRequest request(2, true);
  dlg_->SetRegisterFunction(request.Function());
  Fill("me@x.cn", "secret1", "secret1");
  QTest::mouseClick(dlg_->termsBox(), Qt::LeftButton);
  ASSERT_FALSE(dlg_->termsBox()->isChecked());
  QTest::mouseClick(dlg_->registerButton(), Qt::LeftButton);
  EXPECT_EQ("REGACCOUNT_INFO_NOTCHECKED|", Info());
  EXPECT_FALSE(dlg_->Registering());
  EXPECT_EQ(0, D::RunningRegistrations());
  kstest::ProcessEvents();
  EXPECT_TRUE(request.Calls().empty());
}

TEST_F(RegisterDialog, OneRegistrationAtATimeAndClosingMinimisesMeanwhile) {
  GatedRequest request(-43);
  dlg_->SetRegisterFunction(request.Function());
  Fill("me@x.cn", "secret1", "secret1");
  QTest::mouseClick(dlg_->registerButton(), Qt::LeftButton);
  QTest::mouseClick(dlg_->registerButton(), Qt::LeftButton);
  EXPECT_EQ("REGACCOUNT_INFO_REGISTERING|", Info());
  ASSERT_TRUE(kstest::WaitUntil([&] { return request.Calls().size() == 1; }));
  EXPECT_TRUE(dlg_->Registering());

  dlg_->close();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg_->isMinimized(); }));
  EXPECT_EQ("me@x.cn", dlg_->emailEdit()->text());
  EXPECT_FALSE(login_->isVisible());

  request.Open();
  ASSERT_TRUE(kstest::WaitUntil([&] { return !dlg_->Registering(); }, 10000));
  ASSERT_TRUE(kstest::WaitUntil([&] { return Info() == "REGACCOUNT_INFO_NETWORKERR|"; }));
  EXPECT_EQ(1u, request.Calls().size());

  // Idle again: closing empties the fields, hides the dialog and shows the log-in dialog.
  dlg_->close();
  kstest::ProcessEvents();
  EXPECT_TRUE(dlg_->emailEdit()->text().isEmpty());
  EXPECT_TRUE(dlg_->repeatEdit()->text().isEmpty());
  EXPECT_EQ("REGACCOUNT_INFO_EMPTY|", Info());
  EXPECT_FALSE(dlg_->isVisible());
  EXPECT_TRUE(login_->isVisible());
}

TEST_F(RegisterDialog, ABlockedRegistrationOutlivesItsDialog) {
  for (int result : {2, -43}) {
    SCOPED_TRACE(result);
    GatedRequest request(result);
    auto dlg = std::make_unique<D>();
    dlg->SetOwner(login_.get());
    dlg->SetRegisterFunction(request.Function());
    dlg->show();
    dlg->emailEdit()->setText("me@x.cn");
    dlg->passwordEdit()->setText("secret1");
    dlg->repeatEdit()->setText("secret1");
    QTest::mouseClick(dlg->registerButton(), Qt::LeftButton);
    ASSERT_TRUE(kstest::WaitUntil([&] { return request.Calls().size() == 1; }));
    dlg.reset();
    request.Open();
    ASSERT_TRUE(kstest::WaitUntil([] { return D::RunningRegistrations() == 0; }, 10000));
    kstest::ProcessEvents();
    EXPECT_TRUE(calls_.calls.empty());  // nothing reached the log-in dialog from a dead window
  }
}

}  // namespace
