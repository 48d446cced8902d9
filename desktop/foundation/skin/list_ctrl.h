// The report list of the first-run wizard and its painted column header.
//
// CKSHeaderCtrl: a column header painted from PNG 391 (its first pixel column repeated across
//   the whole header), titles in `m_font` and `m_textColor` aligned per column ("0" left, "1"
//   right, "2" and anything else centred), and one-pixel lines in their own colours; a line
//   colour of exactly 0xFFFFFFFF is not drawn. Without a loaded background nothing at all is
//   painted (no titles, no lines); without a title font no titles are drawn. The header is
//   `m_height` pixels high and the list's first row starts right below it. Column resizing
//   by the mouse: mode 0 (and any value above 2) refused, no resize cursor; 1 free; 2 free
//   down to 30 pixels.
// CKSListCtrl: a flat list whose rows it paints itself: selected rows in the highlight
//   colours, the others on the list's base colour in black, each cell one line, vertically
//   centred and aligned like its column title. Rows keep the style's height until
//   SetRowHeight(), after which every row is 25 pixels high. A one-pixel frame in
//   `m_borderColor` surrounds the list. Inserted and removed rows write
//   `row CKSListCtrl <id> add|del <index> "<col0>" "<col1>"` trace lines.
// Colours are ARGB (0xAARRGGBB). GUI thread only.
#pragma once

#include <QFont>
#include <QHeaderView>
#include <QImage>
#include <QStringList>
#include <QTreeWidget>

#include <optional>

namespace ks::skin {

class CKSHeaderCtrl : public QHeaderView {
  Q_OBJECT
 public:
  explicit CKSHeaderCtrl(QWidget* parent = nullptr);

  // Appends a title at index = current count, with its alignment code from the column
  // format (0 -> '0', 1 -> '1', anything else -> '2').
  void AddItemText(const QString& text, int format);
  void SetTextFont(const QFont& font);
  // Loads PNG 391; a missing picture leaves the header unpainted.
  void LoadBackgroundImage();
  // 0 refused, 1 free, 2 free with a 30-pixel minimum, others refused.
  void SetResizeMode(int mode);
  int ResizeMode() const { return m_resizeMode; }
  // Height changes take effect through this (the list lays itself out again).
  void SetHeight(int height);
  int Height() const { return m_height; }

  QStringList m_texts;
  QString m_alignCodes;
  QRgb m_leftColor = 0xFFFFFFFF;
  QRgb m_separatorColor = 0xFFFFFFFF;
  QRgb m_rightColor = 0xFFFFFFFF;
  QRgb m_topColor = 0xFFFFFFFF;
  QRgb m_bottomColor = 0xFFFFFFFF;
  QRgb m_textColor = 0xFFFFFFFF;
  QRgb m_frameColor = 0xFFFFFFFF;

  static constexpr QRgb kNoLine = 0xFFFFFFFF;
  static constexpr int kMinimumWidthMode2 = 30;

  QSize sizeHint() const override;
  // The alignment code of `column` ('2' when there is none).
  QChar AlignCode(int column) const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void ApplyResizeMode();
  QImage m_background;
  QImage m_strip;
  std::optional<QFont> m_font;
  int m_height = 27;
  int m_resizeMode = 0;
};

class CKSListCtrl : public QTreeWidget {
  Q_OBJECT
 public:
  explicit CKSListCtrl(QWidget* parent = nullptr);

  // Adds a column (at most at the current count) with its title and format (0 left, 1 right,
  // 2 centre); returns its index.
  int InsertColumn(int column, const QString& title, int format);
  // Adds a row at `index` (clamped) with the first column's text; returns its index.
  int InsertItem(int index, const QString& text);
  // The same with the texts of the first columns.
  int InsertItem(int index, const QStringList& texts);
  bool SetItemText(int row, int column, const QString& text);
  bool DeleteItem(int row);
  void SetRowHeight();
  // Lays the list out again after the header's height or the row height changed.
  void Relayout();

  CKSHeaderCtrl* m_header;
  int m_rowHeight = 0;
  QRgb m_borderColor = 0xFFAFAFAF;

  static constexpr int kRowHeight = 25;

 protected:
  bool event(QEvent* event) override;
  void drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  void rowsInserted(const QModelIndex& parent, int start, int end) override;
  void rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) override;

 private:
  void TraceRow(const char* what, int row);
};

}  // namespace ks::skin
