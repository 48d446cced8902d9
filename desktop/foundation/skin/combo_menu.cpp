#include "desktop/foundation/skin/combo_menu.h"

#include "desktop/foundation/skin/skin_surface.h"
#include "desktop/foundation/ui/draw_text.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QAbstractItemView>
#include <QPainter>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QStyledItemDelegate>

#include <algorithm>

namespace ks::skin {

using ks::ui::Align;

namespace {

class ItemDelegate : public QStyledItemDelegate {
 public:
  explicit ItemDelegate(CColorCombobox* combo) : QStyledItemDelegate(combo), combo_(combo) {}
  QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override {
    return QSize(combo_->width(), CColorCombobox::kItemHeight);
  }
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    if (!index.isValid() || index.row() < 0 || index.row() >= combo_->count()) return;
    const bool hot = option.state & (QStyle::State_MouseOver | QStyle::State_Selected);
    p->fillRect(option.rect, hot ? Argb(CColorCombobox::kHotColour) : QColor(Qt::white));
    const QFont font = combo_->TextFont().value_or(ks::ui::DefaultArialFont());
    ks::ui::DrawText(*p, QRectF(option.rect).adjusted(4, 0, 0, 0), index.data().toString(), font,
                     combo_->m_textColor, Align::Near, Align::Center, ks::ui::kOneLine);
  }

 private:
  CColorCombobox* combo_;
};

class MenuStyle : public QProxyStyle {
 public:
  QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                         const QWidget* widget) const override {
    if (type == CT_MenuItem) {
      const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
      if (item && item->menuItemType == QStyleOptionMenuItem::Separator) return QSize(CDiyMenu::kItemWidth, 1);
      // 130 wide as the menu was laid out, wider when a text needs it (never clipped).
      const QFont font = ks::ui::FontFromRecord({QStringLiteral("Arial"), 8, 400}, false);
      const int need = CDiyMenu::kBand + 4 + ks::ui::TextWidth(item ? item->text : QString(), font) + 20;
      return QSize(std::max(CDiyMenu::kItemWidth, need), CDiyMenu::kItemHeight);
    }
    return QProxyStyle::sizeFromContents(type, option, size, widget);
  }
  int pixelMetric(PixelMetric metric, const QStyleOption* option, const QWidget* widget) const override {
    switch (metric) {
      case PM_MenuPanelWidth: return 1;
      case PM_MenuHMargin:
      case PM_MenuVMargin:
      case PM_MenuDesktopFrameWidth: return 0;
      default: return QProxyStyle::pixelMetric(metric, option, widget);
    }
  }
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* p,
                     const QWidget* widget) const override {
    if (element == PE_PanelMenu || element == PE_FrameMenu) {
      p->fillRect(option->rect, QColor(0xFE, 0xFF, 0xFE));
      p->setPen(QColor(0xC9, 0xD0, 0xD8));
      p->drawRect(option->rect.adjusted(0, 0, -1, -1));
      return;
    }
    QProxyStyle::drawPrimitive(element, option, p, widget);
  }
  void drawControl(ControlElement element, const QStyleOption* option, QPainter* p,
                   const QWidget* widget) const override {
    if (element != CE_MenuItem) {
      QProxyStyle::drawControl(element, option, p, widget);
      return;
    }
    const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
    const auto* menu = qobject_cast<const CDiyMenu*>(widget);
    if (!item || !menu) return;
    const QRect r = option->rect;
    if (item->menuItemType == QStyleOptionMenuItem::Separator) {
      p->fillRect(r, QColor(0xFE, 0xFF, 0xFE));
      p->fillRect(QRect(r.left(), r.top(), CDiyMenu::kBand, 1), QColor(0xF3, 0xF3, 0xF3));
      p->fillRect(QRect(r.left() + CDiyMenu::kBand, r.top(), r.width() - CDiyMenu::kBand, 1), QColor(0xDD, 0xDD, 0xDD));
      return;
    }
    QAction* action = menu->actionAt(r.center());
    const unsigned id = action ? action->data().toUInt() : 0;
    const bool selected = (option->state & State_Selected) && (option->state & State_Enabled) && id != 0;
    const QRect band(r.left(), r.top(), CDiyMenu::kBand, r.height());
    const QRect text(r.left() + CDiyMenu::kBand, r.top(), r.width() - CDiyMenu::kBand, r.height());
    p->fillRect(band, selected ? QColor(0xC9, 0xE9, 0xF3) : QColor(0xF3, 0xF3, 0xF3));
    p->fillRect(text, selected ? QColor(0xD5, 0xF4, 0xFF) : QColor(0xFE, 0xFF, 0xFE));
    const QImage icon = ks::ui::LoadPngResource(menu->IconFor(id));
    if (!icon.isNull())
      p->drawImage(QPoint(band.left() + (band.width() - icon.width()) / 2, band.top() + (band.height() - icon.height()) / 2),
                   icon);
    const QFont font = ks::ui::FontFromRecord({QStringLiteral("Arial"), 8, 400}, false);
    const QRgb colour = (option->state & State_Enabled) ? 0xFF000000 : 0xFF7F7F7F;
    ks::ui::DrawText(*p, QRectF(text).adjusted(4, 0, 0, 0), menu->TextOf(id), font, colour, Align::Near,
                     Align::Center, ks::ui::kOneLine);
    if (item->menuItemType == QStyleOptionMenuItem::SubMenu) {
      p->setPen(QColor(0x5A, 0x68, 0x78));
      const int cx = r.right() - 10, cy = r.center().y();
      p->drawLine(cx, cy - 3, cx + 3, cy);
      p->drawLine(cx + 3, cy, cx, cy + 3);
    }
  }
};

}  // namespace

// ---- CColorCombobox

CColorCombobox::CColorCombobox(QWidget* parent) : QComboBox(parent) {
  setItemDelegate(new ItemDelegate(this));
  view()->setMouseTracking(true);
  setFocusPolicy(Qt::NoFocus);
  connect(this, qOverload<int>(&QComboBox::activated), this,
          [this](int) { QMetaObject::invokeMethod(this, [this] { emit selChange(); }, Qt::QueuedConnection); });
}

int CColorCombobox::InsertString(int index, const QString& text) {
  if (index < 0 || index > count()) index = count();
  insertItem(index, text);
  return index;
}

void CColorCombobox::SetTextFont(const QFont& font) {
  font_ = font;
  update();
}

void CColorCombobox::paintEvent(QPaintEvent*) {
  QImage canvas = BackgroundUnder(this);
  QPainter p(&canvas);
  const QImage frame = ks::ui::LoadPngResource(224);
  if (!frame.isNull()) p.drawImage(QRect(0, 0, width(), height()), frame);
  const QImage arrow = ks::ui::LoadPngResource(225);
  const int aw = arrow.isNull() ? 0 : arrow.width();
  if (!arrow.isNull()) p.drawImage(QPoint(width() + 1 - aw - 6, (height() + 1 - arrow.height()) / 2 + 1), arrow);
  const int current = currentIndex();
  const QString text = current >= 0 && current < count() ? itemText(current) : QString();
  if (font_)
    ks::ui::DrawText(p, QRectF(4, 0, width() - aw - 4, height()), text, *font_, m_textColor, Align::Near,
                     Align::Center, ks::ui::kOneLine);
  p.end();
  QPainter(this).drawImage(0, 0, canvas);
}

// ---- CDiyMenu

CDiyMenu::CDiyMenu(QWidget* parent) : QMenu(parent) {
  auto* style = new MenuStyle;
  style->setParent(this);
  setStyle(style);
  connect(this, &QMenu::triggered, this, [this](QAction* a) {
    if (a && a->menu() == nullptr && a->data().toUInt() != 0) emit command(a->data().toUInt());
  });
}

CDiyMenu::~CDiyMenu() = default;

QAction* CDiyMenu::AppendItem(unsigned id, const QString& text, bool enabled) {
  QAction* a = addAction(text);
  a->setData(id);
  a->setEnabled(enabled);
  texts_[id] = text;
  return a;
}

void CDiyMenu::AppendSeparator() { addSeparator(); }

QAction* CDiyMenu::AppendSubMenu(QMenu* menu, const QString& text) {
  QAction* a = addMenu(menu);
  a->setText(text);
  a->setData(0u);
  return a;
}

QAction* CDiyMenu::ActionOf(unsigned id) const {
  for (QAction* a : actions())
    if (!a->isSeparator() && a->data().toUInt() == id) return a;
  return nullptr;
}

bool CDiyMenu::ModifyItem(unsigned position, unsigned flags, unsigned newId, const QString& text) {
  QAction* target = nullptr;
  if (flags & MF_BYPOSITION) {
    QMenu* sub = nullptr;
    for (QAction* a : actions())
      if (a->menu()) {
        sub = a->menu();
        break;
      }
    if (sub == nullptr || position >= static_cast<unsigned>(sub->actions().size())) return false;
    target = sub->actions().at(static_cast<int>(position));
  } else {
    target = ActionOf(position);
  }
  if (target == nullptr) return false;
  target->setData(newId);
  target->setText(text);
  target->setEnabled((flags & MF_GRAYED) == 0);
  if (newId != 0) texts_[newId] = text;
  return true;
}

QString CDiyMenu::TextOf(unsigned id) const {
  auto it = texts_.find(id);
  return it == texts_.end() ? QString() : it->second;
}

unsigned CDiyMenu::IconFor(unsigned id) const {
  switch (id) {
    case 32784: return 286;
    case 32787: return 281;
    case 32788: return 282;
    case 32806: return 283;
    case 32810: return 287;
    case 32816: return m_bOnline ? 285 : 280;
    case 32827: return 322;
    case 32848: return 284;
    default: return 0;
  }
}

void CDiyMenu::showEvent(QShowEvent* e) {
  QMenu::showEvent(e);
  if (!ks::ui::TraceEnabled()) return;
  for (QAction* a : actions()) {
    if (a->isSeparator()) continue;
    const QRect r = actionGeometry(a);
    const QPoint g = mapToGlobal(r.topLeft());
    ks::ui::TraceLine(QStringLiteral("menuitem %1 %2 %3 %4 %5").arg(a->data().toUInt()).arg(g.x()).arg(g.y()).arg(r.width()).arg(r.height()));
  }
}

}  // namespace ks::skin
