#include "desktop/app/dialogs/folder_picker.h"

#include <QFileDialog>

#include <utility>

namespace ks::dialogs {

namespace {

FolderPicker& Override() {
  static FolderPicker picker;
  return picker;
}

}  // namespace

std::optional<QString> PickFolder(QWidget* parent, const QString& title) {
  if (Override()) return Override()(parent, title);
  const QString picked = QFileDialog::getExistingDirectory(
      parent, title, QStringLiteral("/"), QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (picked.isEmpty()) return std::nullopt;
  return picked;
}

void SetFolderPicker(FolderPicker picker) { Override() = std::move(picker); }

}  // namespace ks::dialogs
