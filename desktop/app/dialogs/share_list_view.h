// IShareListRows over a skinned report list (CKSListCtrl) whose owner made two columns:
// column 0 the display name, column 1 the path. Rows are inserted with both texts at once,
// so the list's trace line shows both. Holds the list by pointer; GUI thread only.
#pragma once

#include "desktop/app/dialogs/share_list.h"

namespace ks::skin {
class CKSListCtrl;
}

namespace ks::dialogs {

class ShareListView : public IShareListRows {
 public:
  explicit ShareListView(ks::skin::CKSListCtrl* list) : list_(list) {}

  int RowCount() const override;
  std::string RowPath(int row) const override;
  int InsertRow(int position, const std::string& name, const std::string& path) override;
  void DeleteRow(int row) override;

 private:
  ks::skin::CKSListCtrl* list_;
};

}  // namespace ks::dialogs
