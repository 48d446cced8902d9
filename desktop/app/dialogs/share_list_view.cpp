#include "desktop/app/dialogs/share_list_view.h"

#include <QString>
#include <QStringList>
#include <QTreeWidgetItem>

#include "desktop/foundation/skin/list_ctrl.h"

namespace ks::dialogs {

int ShareListView::RowCount() const { return list_->topLevelItemCount(); }

std::string ShareListView::RowPath(int row) const {
  const QTreeWidgetItem* item = list_->topLevelItem(row);
  return item ? item->text(1).toStdString() : std::string();
}

int ShareListView::InsertRow(int position, const std::string& name, const std::string& path) {
  return list_->InsertItem(position, QStringList{QString::fromStdString(name), QString::fromStdString(path)});
}

void ShareListView::DeleteRow(int row) { list_->DeleteItem(row); }

}  // namespace ks::dialogs
