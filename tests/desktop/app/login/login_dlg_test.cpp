// CLoginDlg: the checks of the log-in action and what it hands over, the hints in the
// edits, the account change rule, message 0x600, keys, links and the error line.
#include "desktop/app/login/login_dlg.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/web/web.h"
#include "tests/desktop/app/login/login_test_kit.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QApplication>
#include <QPointer>
#include <QStyle>
#include <QTest>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using ks::login::CLoginDlg;
using ks::login::LoginInfo;

ks::login::LoginInfo Record(const char* account, const char* password, unsigned remember) {
  LoginInfo info{};
  std::strncpy(info.account, account, 32);
  std::strncpy(info.password, password, 34);
  info.remember = remember;
  return info;
}

class LoginDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(1, kstest::LoginTexts()));
    ks::login::SetAddressOpener([this](const std::string& url) { opened.push_back(url); });
    dlg = std::make_unique<CLoginDlg>();
    dlg->m_pCallback = &callback;
    dlg->m_writeRemPass = [this](const std::string& v) { remPass.push_back(v); };
    dlg->m_clearRegisterPending = [this] { ++pendingCleared; };
    dlg->show();
    ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->textsLoaded(); }));
  }
  void TearDown() override {
    dlg.reset();
    ks::login::SetAddressOpener(nullptr);
    ks::ui::SetLanguageSource(nullptr);
  }

  // Types the fields as the owner would: focus into each edit, then the text.
  void Fill(const QString& account, const QString& password) {
    dlg->OnEnSetfocusEmailEdit();
    dlg->accountEdit()->setText(account);
    dlg->OnEnKillfocusEmailEdit();
    dlg->OnEnSetfocusPasswordEdit();
    dlg->passwordEdit()->setText(password);
    dlg->OnEnKillfocusPasswordEdit();
  }

  kstest::TraceCapture trace;
  kstest::RecordingLoginCallback callback;
  std::vector<std::string> remPass;
  std::vector<std::string> opened;
  int pendingCleared = 0;
  std::unique_ptr<CLoginDlg> dlg;
};

TEST_F(LoginDlgTest, LogInActionChecksFieldsInOrderAndHandsOverOneRecord) {
  enum Outcome { kBox, kBalloon, kHandedOver };
  struct Case {
    const char* name;
    QString account;
    QString password;
    bool untick;
    Outcome outcome;
    const char* what;  // box text, "<edit id> <balloon text>", or the call kind
    const char* account_out;
    unsigned remember_out;
  } cases[] = {
      {"account hint", "", "secret1", false, kBox, "MSGBOX_NOACCOUNT", "", 0},
      {"password hint", "owner@example.com", "", false, kBox, "MSGBOX_NOPASSWORD", "", 0},
      {"password equal to its hint", "owner@example.com", "LOGIN_EDIT_PASSWORD", false, kBox, "MSGBOX_NOPASSWORD", "", 0},
      {"no domain", "a@b", "secret1", false, kBalloon, "1004 REGACCOUNT_INFO_INVALIDEMAIL", "", 0},
      {"apostrophe judged by the address rule", "o'wner@example.com", "secret1", false, kBalloon,
       "1004 REGACCOUNT_INFO_INVALIDEMAIL", "", 0},
      {"five characters", "owner@example.com", "abcde", false, kBalloon, "1005 REGACCOUNT_INFO_INVALIDPASS", "", 0},
      {"semicolon", "owner@example.com", "abc;def", false, kBalloon, "1005 REGACCOUNT_INFO_INVALIDPASS", "", 0},
      {"double quote", "owner@example.com", "abc\"def", false, kBalloon, "1005 REGACCOUNT_INFO_INVALIDPASS", "", 0},
      {"sixteen bytes are typed text", "owner@example.com", "abcdefghijklmnop", false, kHandedOver, "OnLogin",
       "owner@example.com", 1},
      {"seventeen bytes count as a stored hash", "owner@example.com", "abcdefghijklmnopq", false, kHandedOver,
       "OnLoginInfo", "owner@example.com", 1},
      {"account lower-cased, password not", "Owner@Example.com", "SeCret1", false, kHandedOver, "OnLogin",
       "owner@example.com", 1},
      {"unticked box", "owner@example.com", "secret1", true, kHandedOver, "OnLogin", "owner@example.com", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    callback.calls.clear();
    remPass.clear();
    SetUp();
    Fill(c.account, c.password);
    if (c.untick) dlg->rememberBox()->setChecked(false);
    dlg->ShowErrorText(QStringLiteral("earlier failure"));
    const int balloonsBefore = static_cast<int>(trace.With(QStringLiteral("balloon ")).size());

    kstest::ModalAnswerer answerer([](QWidget* w) { static_cast<QDialog*>(w)->done(1); });
    dlg->OnBnClickedLoginButton();

    EXPECT_EQ(answerer.answered(), c.outcome == kBox);
    const QStringList balloons = trace.With(QStringLiteral("balloon "));
    if (c.outcome == kBox) {
      EXPECT_EQ(answerer.title(), QStringLiteral("T"));
      EXPECT_TRUE(answerer.texts().contains(QString::fromLatin1(c.what))) << answerer.texts().join(QLatin1Char('|')).toStdString();
    }
    if (c.outcome == kBalloon) {
      ASSERT_EQ(balloons.size(), balloonsBefore + 1);
      const QString expected = QString::fromLatin1(c.what);
      const QString id = expected.section(QLatin1Char(' '), 0, 0);
      EXPECT_EQ(balloons.last(), QStringLiteral("balloon %1 \"%2\"").arg(id, expected.section(QLatin1Char(' '), 1)));
    } else {
      EXPECT_EQ(balloons.size(), balloonsBefore);
    }
    if (c.outcome != kHandedOver) {
      EXPECT_TRUE(callback.calls.empty());
      EXPECT_TRUE(remPass.empty());
      EXPECT_TRUE(dlg->isVisible());
      EXPECT_TRUE(dlg->errorLine()->isVisible());
      continue;
    }
    ASSERT_EQ(callback.calls.size(), 1u);
    const kstest::LoginCall& call = callback.calls[0];
    EXPECT_EQ(call.kind, c.what);
    EXPECT_EQ(call.account, c.account_out);
    EXPECT_EQ(QString::fromStdString(call.password), c.password);
    EXPECT_EQ(call.hash, call.kind == "OnLogin" ? 1 : -1);
    EXPECT_EQ(call.remember, c.remember_out);
    EXPECT_EQ(remPass, std::vector<std::string>{c.remember_out ? "true" : "false"});
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_FALSE(dlg->errorLine()->isVisible());
    EXPECT_STREQ(dlg->lastLogin().account, c.account_out);
  }
}

TEST_F(LoginDlgTest, RememberedHashGoesOutAsStoredHashAndWithoutListenerRemPassIsStillWritten) {
  const LoginInfo saved = Record("owner@example.com", "abcdefghijABCDEFGHIJ./", 1);
  dlg->SetLoginInfo(saved);
  EXPECT_EQ(dlg->accountEdit()->text(), QStringLiteral("owner@example.com"));
  EXPECT_EQ(dlg->passwordEdit()->text(), QStringLiteral("abcdefghijABCDEFGHIJ./"));
  EXPECT_EQ(dlg->passwordEdit()->echoMode(), QLineEdit::Password);
  dlg->OnBnClickedLoginButton();
  ASSERT_EQ(callback.calls.size(), 1u);
  EXPECT_EQ(callback.calls[0].kind, "OnLoginInfo");
  EXPECT_EQ(callback.calls[0].password, "abcdefghijABCDEFGHIJ./");

  dlg->m_pCallback = nullptr;
  dlg->show();
  dlg->SetLoginInfo(Record("other@example.com", "secret1", 0));
  dlg->OnBnClickedLoginButton();
  EXPECT_EQ(callback.calls.size(), 1u);
  EXPECT_STREQ(dlg->lastLogin().account, "other@example.com");
  EXPECT_EQ(remPass, (std::vector<std::string>{"true", "false"}));
}

TEST_F(LoginDlgTest, HintsComeAndGoWithTheFocus) {
  QLineEdit* account = dlg->accountEdit();
  QLineEdit* password = dlg->passwordEdit();
  // Initial state: the password shows its hint as plain text; the box is ticked.
  EXPECT_EQ(password->text(), QStringLiteral("LOGIN_EDIT_PASSWORD"));
  EXPECT_EQ(password->echoMode(), QLineEdit::Normal);
  EXPECT_TRUE(dlg->rememberBox()->isChecked());
  EXPECT_EQ(password->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, password), 0x25CF);
  EXPECT_EQ(account->maxLength(), 32);
  EXPECT_EQ(password->maxLength(), 32);

  dlg->OnEnKillfocusEmailEdit();
  EXPECT_EQ(account->text(), QStringLiteral("LOGIN_EDIT_ACCOUNT"));
  dlg->OnEnSetfocusEmailEdit();
  EXPECT_EQ(account->text(), QString());
  account->setText(QStringLiteral("me@example.com"));
  dlg->OnEnKillfocusEmailEdit();
  dlg->OnEnSetfocusEmailEdit();
  EXPECT_EQ(account->text(), QStringLiteral("me@example.com"));

  dlg->OnEnSetfocusPasswordEdit();
  EXPECT_EQ(password->text(), QString());
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  dlg->OnEnKillfocusPasswordEdit();
  EXPECT_EQ(password->text(), QStringLiteral("LOGIN_EDIT_PASSWORD"));
  EXPECT_EQ(password->echoMode(), QLineEdit::Normal);
  dlg->OnEnSetfocusPasswordEdit();
  password->setText(QStringLiteral("secret1"));
  dlg->OnEnKillfocusPasswordEdit();
  EXPECT_EQ(password->text(), QStringLiteral("secret1"));
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);

  // Real focus changes run the same routines.
  QApplication::setActiveWindow(dlg.get());
  account->setFocus();
  ASSERT_TRUE(kstest::WaitUntil([&] { return account->hasFocus(); }));
  account->clear();
  password->setFocus();
  ASSERT_TRUE(kstest::WaitUntil([&] { return password->hasFocus(); }));
  EXPECT_EQ(account->text(), QStringLiteral("LOGIN_EDIT_ACCOUNT"));
}

TEST_F(LoginDlgTest, EditingTheAccountEmptiesThePasswordAndTheRememberedAccountBringsItBack) {
  QLineEdit* account = dlg->accountEdit();
  QLineEdit* password = dlg->passwordEdit();
  const char* hash = "abcdefghijABCDEFGHIJ./";
  struct Case {
    const char* name;
    unsigned remember;
    QString retyped;
    QString expectedPassword;
    bool expectedTick;
  } cases[] = {
      {"same account, remembered", 1, "owner@example.com", hash, true},
      {"same account, not remembered", 0, "owner@example.com", "", false},
      {"other case is another account", 1, "Owner@example.com", "", false},
      {"other account", 1, "owner@example.org", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dlg->SetLoginInfo(Record("owner@example.com", hash, c.remember));
    ASSERT_EQ(password->text(), QString::fromLatin1(hash));
    account->setText(QStringLiteral("owner@example.co"));  // one character deleted
    EXPECT_EQ(password->text(), QString());
    dlg->rememberBox()->setChecked(false);
    account->setText(c.retyped);
    EXPECT_EQ(password->text(), c.expectedPassword);
    EXPECT_EQ(dlg->rememberBox()->isChecked(), c.expectedTick);
  }
}

TEST_F(LoginDlgTest, Message0x600LogsInWithTheRecordAndAlwaysClearsThePendingFlag) {
  ks::ui::PostMsg(dlg.get(), CLoginDlg::kMsgSetLoginInfo, 0, 0);
  ASSERT_TRUE(kstest::WaitUntil([&] { return pendingCleared == 1; }));
  EXPECT_TRUE(callback.calls.empty());
  EXPECT_TRUE(dlg->isVisible());

  const LoginInfo registered = Record("new@example.com", "secret1", 1);
  ks::ui::PostMsg(dlg.get(), CLoginDlg::kMsgSetLoginInfo, 0, reinterpret_cast<intptr_t>(&registered));
  ASSERT_TRUE(kstest::WaitUntil([&] { return pendingCleared == 2; }));
  ASSERT_EQ(callback.calls.size(), 1u);
  EXPECT_EQ(callback.calls[0].kind, "OnLogin");
  EXPECT_EQ(callback.calls[0].account, "new@example.com");
  EXPECT_EQ(callback.calls[0].password, "secret1");
  EXPECT_FALSE(dlg->isVisible());
}

TEST_F(LoginDlgTest, ReturnLogsInEscapeAndCloseOnlyHide) {
  Fill(QStringLiteral("owner@example.com"), QStringLiteral("secret1"));
  QTest::keyClick(dlg->passwordEdit(), Qt::Key_Return);
  ASSERT_EQ(callback.calls.size(), 1u);
  EXPECT_FALSE(dlg->isVisible());

  dlg->show();
  QTest::keyClick(dlg->accountEdit(), Qt::Key_Escape);
  EXPECT_FALSE(dlg->isVisible());

  QPointer<CLoginDlg> alive(dlg.get());
  dlg->show();
  dlg->m_pCloseButton->click();
  ASSERT_TRUE(kstest::WaitUntil([&] { return !dlg->isVisible(); }));
  dlg->show();
  dlg->close();
  EXPECT_FALSE(dlg->isVisible());
  EXPECT_FALSE(alive.isNull());
  EXPECT_EQ(callback.calls.size(), 1u);
}

TEST_F(LoginDlgTest, TabOrderFollowsTheTemplate) {
  std::vector<int> order;
  QWidget* w = dlg->accountEdit();
  for (int i = 0; i < 40 && order.size() < 6; ++i, w = w->nextInFocusChain())
    if ((w->focusPolicy() & Qt::TabFocus) && ks::ui::ControlId(w) > 0) order.push_back(ks::ui::ControlId(w));
  EXPECT_EQ(order, (std::vector<int>{1004, 1005, 1008, 1091, 1135, 1007}));
}

TEST_F(LoginDlgTest, LinksOpenTheirAddressesAndAnEmptyAddressNothing) {
  dlg->OnBnClickedRegisterLink();
  QTest::mouseClick(dlg->forgetLink(), Qt::LeftButton);  // no URL_FORGETPW text: inert
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], ks::desktop::web::PageUrl("/register.html"));

  auto texts = kstest::LoginTexts();
  texts["URL/URL_FORGETPW"] = QStringLiteral("http://127.0.0.1/forget");
  ks::ui::SetLanguageSource(std::make_shared<kstest::TableLanguage>(1, texts));
  dlg->OnLanguageChanged();
  dlg->update();
  ASSERT_TRUE(kstest::WaitUntil([&] { return dlg->forgetLink()->m_url == QStringLiteral("http://127.0.0.1/forget"); }));
  QTest::mouseClick(dlg->forgetLink(), Qt::LeftButton);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[1], "http://127.0.0.1/forget");
  // Reloaded texts put the standard error text back, hidden.
  EXPECT_EQ(dlg->errorLine()->text(), QStringLiteral("MSGBOX_IDORPWERROR"));
  EXPECT_FALSE(dlg->errorLine()->isVisible());
}

TEST(ForbiddenChars, EachListedCharacterAnywhereAndNothingElse) {
  for (char c : std::string("';\"=`*%$^&<>{}[]")) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(ks::login::HasForbiddenChar(std::string(1, c)));
    EXPECT_TRUE(ks::login::HasForbiddenChar(std::string("ab") + c + "cd"));
  }
  EXPECT_FALSE(ks::login::HasForbiddenChar("Secret-1_!#@.,()|~/+?:"));
  EXPECT_FALSE(ks::login::HasForbiddenChar(""));
}

}  // namespace
