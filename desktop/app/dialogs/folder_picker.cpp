#include "desktop/app/dialogs/folder_picker.h"

#include <QFileDialog>
#include <QWidget>

#include <utility>

namespace ks::dialogs {

namespace {

FolderPicker& Override() {
  static FolderPicker picker;
  return picker;
}

// The window that opened the picker takes the keyboard again. A window manager would hand
// it back by itself; without one the focus falls to the screen's root when the picker
// closes, and keys (Escape, Enter) would reach no window at all.
void ReturnFocus(QWidget* parent) {
  if (parent == nullptr) return;
  QWidget* window = parent->window();
  if (window->isVisible()) window->activateWindow();
}

}  // namespace

std::optional<QString> PickFolder(QWidget* parent, const QString& title) {
  std::optional<QString> result;
  if (Override()) {
    result = Override()(parent, title);
  } else {
    const QString picked = QFileDialog::getExistingDirectory(
        parent, title, QStringLiteral("/"), QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
    if (!picked.isEmpty()) result = picked;
  }
  ReturnFocus(parent);
  return result;
}

void SetFolderPicker(FolderPicker picker) { Override() = std::move(picker); }

}  // namespace ks::dialogs
