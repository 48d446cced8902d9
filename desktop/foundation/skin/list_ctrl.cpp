#include "desktop/foundation/skin/list_ctrl.h"

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPaintEvent>
#include <QStyledItemDelegate>

namespace ks::skin {

namespace {

ui::Align AlignOf(QChar code) {
  if (code == QLatin1Char('0')) return ui::Align::Near;
  if (code == QLatin1Char('1')) return ui::Align::Far;
  return ui::Align::Center;
}

constexpr int kCellInset = 2;

// Paints the rows of a CKSListCtrl and answers its row height.
class RowDelegate : public QStyledItemDelegate {
 public:
  explicit RowDelegate(CKSListCtrl* list) : QStyledItemDelegate(list), list_(list) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    if (list_->m_rowHeight >= 1) size.setHeight(list_->m_rowHeight);
    return size;
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& pal = list_->palette();
    painter->fillRect(option.rect, selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::Base));
    const QRgb ink = selected ? pal.color(QPalette::HighlightedText).rgba() : 0xFF000000;
    const QFont font = list_->font();
    // The label area of a cell keeps a small inset from the column's edges.
    QRect r = option.rect.adjusted(kCellInset, 0, -kCellInset, 0);
    r.translate(0, (r.height() - QFontMetrics(font).height()) / 2);
    r = r.intersected(option.rect);
    ui::DrawText(*painter, r, index.data(Qt::DisplayRole).toString(), font, ink,
                 AlignOf(list_->m_header->AlignCode(index.column())), ui::Align::Near, ui::kNoWrap);
  }

 private:
  CKSListCtrl* list_;
};

}  // namespace

CKSHeaderCtrl::CKSHeaderCtrl(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
  setSectionsMovable(false);
  setSectionsClickable(false);
  setStretchLastSection(false);
  setHighlightSections(false);
  connect(this, &QHeaderView::sectionCountChanged, this, [this] { ApplyResizeMode(); });
  ApplyResizeMode();
}

void CKSHeaderCtrl::AddItemText(const QString& text, int format) {
  m_texts.append(text);
  m_alignCodes.append(format == 0 ? QLatin1Char('0') : format == 1 ? QLatin1Char('1') : QLatin1Char('2'));
  viewport()->update();
}

void CKSHeaderCtrl::SetTextFont(const QFont& font) {
  m_font = font;
  viewport()->update();
}

void CKSHeaderCtrl::LoadBackgroundImage() {
  m_background = ui::LoadPngResource(391);
  m_strip = QImage();
  viewport()->update();
}

void CKSHeaderCtrl::SetResizeMode(int mode) {
  m_resizeMode = mode;
  ApplyResizeMode();
}

void CKSHeaderCtrl::ApplyResizeMode() {
  const bool free = m_resizeMode == 1 || m_resizeMode == 2;
  setMinimumSectionSize(m_resizeMode == 2 ? kMinimumWidthMode2 : 0);
  if (count() > 0) setSectionResizeMode(free ? QHeaderView::Interactive : QHeaderView::Fixed);
}

void CKSHeaderCtrl::SetHeight(int height) {
  m_height = height;
  m_strip = QImage();
  updateGeometry();
  if (auto* list = qobject_cast<CKSListCtrl*>(parentWidget())) list->Relayout();
}

QSize CKSHeaderCtrl::sizeHint() const {
  QSize size = QHeaderView::sizeHint();
  size.setHeight(m_height);
  return size;
}

QChar CKSHeaderCtrl::AlignCode(int column) const {
  return column >= 0 && column < m_alignCodes.size() ? m_alignCodes.at(column) : QLatin1Char('2');
}

void CKSHeaderCtrl::paintEvent(QPaintEvent*) {
  if (m_background.isNull()) return;  // nothing at all without the picture
  QWidget* vp = viewport();
  const int width = vp->width();
  const int height = vp->height();
  if (m_strip.isNull()) {
    // Every pixel column of the strip is the picture's first pixel column.
    m_strip = QImage(std::max(width, 1), m_height, QImage::Format_ARGB32_Premultiplied);
    m_strip.fill(Qt::transparent);
    QPainter sp(&m_strip);
    const QImage column = m_background.copy(0, 0, 1, m_background.height());
    for (int x = 0; x < m_strip.width(); ++x) sp.drawImage(x, 0, column);
  }
  QImage canvas(std::max(width, 1), std::max(height, 1), QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  QPainter p(&canvas);
  for (int x = 0; x < width; x += m_strip.width()) p.drawImage(x, 0, m_strip);

  // Items in their visual order.
  struct Item {
    int logical, left, size;
  };
  std::vector<Item> items;
  for (int v = 0; v < count(); ++v) {
    const int logical = logicalIndex(v);
    if (isSectionHidden(logical)) continue;
    items.push_back({logical, sectionViewportPosition(logical), sectionSize(logical)});
  }
  if (m_font) {
    const QFontMetrics fm(*m_font);
    for (const Item& it : items) {
      if (it.logical >= m_texts.size()) continue;
      const QString& text = m_texts.at(it.logical);
      const int tw = fm.horizontalAdvance(text);
      const int th = fm.height();
      const QChar code = AlignCode(it.logical);
      int x = it.left + (it.size - tw) / 2;
      if (code == QLatin1Char('0')) x = it.left + 1;
      if (code == QLatin1Char('1')) x = it.left + it.size - tw - 1;
      const int y = (height - th) / 2;
      p.save();
      p.setClipRect(it.left, 0, it.size, height);
      ui::DrawText(p, QRectF(x, y, tw + 1, th), text, *m_font, m_textColor, ui::Align::Near, ui::Align::Near,
                   ui::kNoWrap);
      p.restore();
    }
  }
  const int L = 0, T = 0, R = width, B = height;
  auto line = [&](QRgb colour, int x1, int y1, int x2, int y2) {
    if (colour == kNoLine) return;
    p.setPen(QPen(Argb(colour), 1));
    p.drawLine(x1, y1, x2, y2);
  };
  line(m_leftColor, L, T + 2, L, B - 2);
  line(m_rightColor, R - 1, T + 2, R - 1, B - 1);
  line(m_topColor, L, T, R, T);
  line(m_bottomColor, L, B - 2, R, B - 2);
  for (size_t i = 1; i < items.size(); ++i) line(m_separatorColor, items[i].left, T, items[i].left, B);
  if (!items.empty()) {
    const int right = items.back().left + items.back().size;
    line(m_separatorColor, right, T, right, B);
  }
  line(m_frameColor, L, T, R, T);
  line(m_frameColor, L, B - 1, R, B - 1);
  p.end();
  QPainter out(vp);
  out.drawImage(0, 0, canvas);
}

CKSListCtrl::CKSListCtrl(QWidget* parent) : QTreeWidget(parent), m_header(new CKSHeaderCtrl(this)) {
  setHeader(m_header);
  setColumnCount(0);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setIndentation(0);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setFrameStyle(QFrame::Box | QFrame::Plain);
  setLineWidth(1);
  setItemDelegate(new RowDelegate(this));
}

int CKSListCtrl::InsertColumn(int column, const QString& title, int format) {
  m_header->AddItemText(title, format);
  const int count = columnCount();
  column = std::clamp(column, 0, count);
  if (column == count) {
    setColumnCount(count + 1);
  } else if (!model()->insertColumn(column)) {
    return -1;
  }
  headerItem()->setText(column, title);
  headerItem()->setTextAlignment(column, format == 0   ? Qt::AlignLeft
                                         : format == 1 ? Qt::AlignRight
                                                       : Qt::AlignHCenter);
  return column;
}

int CKSListCtrl::InsertItem(int index, const QString& text) { return InsertItem(index, QStringList{text}); }

int CKSListCtrl::InsertItem(int index, const QStringList& texts) {
  index = std::clamp(index, 0, topLevelItemCount());
  auto* item = new QTreeWidgetItem(texts);
  insertTopLevelItem(index, item);
  return index;
}

bool CKSListCtrl::SetItemText(int row, int column, const QString& text) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (!item || column < 0 || column >= columnCount()) return false;
  item->setText(column, text);
  return true;
}

bool CKSListCtrl::DeleteItem(int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (!item) return false;
  delete item;
  return true;
}

void CKSListCtrl::SetRowHeight() {
  m_rowHeight = kRowHeight;
  Relayout();
}

void CKSListCtrl::Relayout() {
  updateGeometries();
  doItemsLayout();
  viewport()->update();
}

bool CKSListCtrl::event(QEvent* e) {
  if (e->type() != QEvent::Paint) return QTreeWidget::event(e);
  // The frame: left, right and bottom in the border colour; the top row belongs to the header
  // band and gets the same colour so the list reads as one box.
  QPainter p(this);
  p.setPen(QPen(Argb(m_borderColor | 0xFF000000u), 1));
  p.drawRect(QRect(0, 0, width() - 1, height() - 1));
  return true;
}

void CKSListCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  // Only the cells, painted by the row delegate: no style row panel, hover or focus frame.
  for (int c = 0; c < columnCount(); ++c) {
    if (isColumnHidden(c)) continue;
    const QModelIndex cell = index.sibling(index.row(), c);
    QStyleOptionViewItem o = option;
    o.rect = QRect(columnViewportPosition(c), option.rect.y(), columnWidth(c), option.rect.height());
    if (selectionModel() && selectionModel()->isSelected(cell))
      o.state |= QStyle::State_Selected;
    else
      o.state &= ~QStyle::State_Selected;
    itemDelegate()->paint(painter, o, cell);
  }
}

void CKSListCtrl::TraceRow(const char* what, int row) {
  QTreeWidgetItem* item = topLevelItem(row);
  const QString c0 = item ? item->text(0) : QString();
  const QString c1 = item && columnCount() > 1 ? item->text(1) : QString();
  ui::TraceLine(QStringLiteral("row %1 %2 %3 %4 %5 %6")
                    .arg(ui::TraceClassName(this))
                    .arg(ui::ControlId(this))
                    .arg(QLatin1String(what))
                    .arg(row)
                    .arg(ui::TraceQuote(c0), ui::TraceQuote(c1)));
}

void CKSListCtrl::rowsInserted(const QModelIndex& parent, int start, int end) {
  QTreeWidget::rowsInserted(parent, start, end);
  if (!ui::TraceEnabled() || parent.isValid()) return;
  for (int r = start; r <= end; ++r) TraceRow("add", r);
}

void CKSListCtrl::rowsAboutToBeRemoved(const QModelIndex& parent, int start, int end) {
  if (ui::TraceEnabled() && !parent.isValid())
    for (int r = start; r <= end; ++r) TraceRow("del", r);
  QTreeWidget::rowsAboutToBeRemoved(parent, start, end);
}

}  // namespace ks::skin
