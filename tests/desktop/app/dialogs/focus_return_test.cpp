// After a folder picker or a message box closes, the window that opened it is the active
// window again, so that its keys (Escape, Enter) keep working where no window manager hands
// the focus back.
#include "desktop/app/dialogs/folder_picker.h"
#include "desktop/foundation/skin/diy_message_box.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using namespace ks::dialogs;

class FocusReturn : public ::testing::Test {
 protected:
  void SetUp() override {
    kstest::EnsureGuiApp();
    owner.resize(200, 100);
    owner.show();
    owner.activateWindow();
    ASSERT_TRUE(kstest::WaitUntil([this] { return QApplication::activeWindow() == &owner; }));
  }
  void TearDown() override { SetFolderPicker({}); }

  QDialog owner;
  QPushButton* button = new QPushButton(&owner);
};

// A picker of its own window, made active while it shows, as the real one is.
std::optional<QString> ActivePicker(QWidget*, const QString&) {
  QDialog picker;
  picker.show();
  picker.activateWindow();
  kstest::WaitUntil([&] { return QApplication::activeWindow() == &picker; });
  picker.hide();
  kstest::ProcessEvents();
  return QStringLiteral("/picked");
}

TEST_F(FocusReturn, PickerGivesTheKeyboardBackToItsOpener) {
  SetFolderPicker(ActivePicker);
  EXPECT_EQ(PickFolder(button, QStringLiteral("title")), QStringLiteral("/picked"));
  EXPECT_TRUE(kstest::WaitUntil([this] { return QApplication::activeWindow() == &owner; }));
}

TEST_F(FocusReturn, CancelledPickerAndHiddenOpenerAreHandled) {
  SetFolderPicker([](QWidget* parent, const QString& title) {
    ActivePicker(parent, title);
    return std::optional<QString>();
  });
  EXPECT_FALSE(PickFolder(button, QStringLiteral("title")));
  EXPECT_TRUE(kstest::WaitUntil([this] { return QApplication::activeWindow() == &owner; }));
  // An opener that went away meanwhile is not brought back on screen.
  SetFolderPicker([this](QWidget* parent, const QString& title) {
    owner.hide();
    return ActivePicker(parent, title);
  });
  EXPECT_TRUE(PickFolder(button, QStringLiteral("title")));
  kstest::ProcessEvents();
  EXPECT_FALSE(owner.isVisible());
  EXPECT_TRUE(PickFolder(nullptr, QStringLiteral("title")));
}

TEST_F(FocusReturn, MessageBoxGivesTheKeyboardBack) {
  kstest::ModalAnswerer answerer([](QWidget* box) { QTest::keyClick(box, Qt::Key_Return); });
  EXPECT_EQ(ks::skin::ShowDiyMessageBox(QStringLiteral("Note"), QStringLiteral("Kestyl"), ks::skin::MB_OK),
            ks::skin::IDOK);
  EXPECT_TRUE(answerer.answered());
  EXPECT_TRUE(kstest::WaitUntil([this] { return QApplication::activeWindow() == &owner; }));
}

}  // namespace
