// The folder picker of the desktop program's dialogs: the toolkit's own (non-native) folder
// dialog, folders only, opened at "/", with a title from the language tables. One seam for
// tests and tools: SetFolderPicker replaces the dialog for the whole process. When the picker
// closes, the window of its parent is made the active window again (keyboard included).
// GUI thread only.
#pragma once

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace ks::dialogs {

// The picked folder (no trailing "/" except "/" itself), or nullopt when cancelled.
using FolderPicker = std::function<std::optional<QString>(QWidget* parent, const QString& title)>;

std::optional<QString> PickFolder(QWidget* parent, const QString& title);

// Replaces the dialog (an empty function restores it).
void SetFolderPicker(FolderPicker picker);

}  // namespace ks::dialogs
