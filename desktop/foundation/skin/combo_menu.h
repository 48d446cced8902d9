// CColorCombobox: a drop-down list whose closed face is painted from pictures (the owner's
// pixels, frame PNG 224 stretched over the box, arrow PNG 225 at the right) with the current
// text, and whose list items (21 px high) are white, or 0xFF21B4E5 under the mouse. A user's
// choice in the list emits selChange() once, queued like a posted command. Texts are the
// combo's own items (they follow insertions, deletions and resets).
// CDiyMenu: the tray's pop-up menu: items 130 x 27 with a 27-px icon band (icons by command
// id), separators of one grey pixel from x 27, grey text for disabled items, all drawn by a
// proxy style. Items carry command ids; triggered() of an item emits command(id).
// ModifyItem(position, flags, newId, text) changes an item by command id, or with
// MF_BYPOSITION the item at that position of the first sub-menu; a sub-menu under a changed
// item stays. When the UI trace is on, each pop-up writes one "menuitem" line per item.
#pragma once

#include <QComboBox>
#include <QFont>
#include <QMenu>

#include <map>
#include <optional>

namespace ks::skin {

class CColorCombobox : public QComboBox {
  Q_OBJECT
 public:
  explicit CColorCombobox(QWidget* parent = nullptr);
  int InsertString(int index, const QString& text);
  void SetTextFont(const QFont& font);
  QRgb m_textColor = 0xFF000000;
  static constexpr QRgb kHotColour = 0xFF21B4E5;
  static constexpr int kItemHeight = 21;
  std::optional<QFont> TextFont() const { return font_; }

 signals:
  void selChange();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  std::optional<QFont> font_;
};

class CDiyMenu : public QMenu {
  Q_OBJECT
 public:
  static constexpr unsigned MF_GRAYED = 0x1;
  static constexpr unsigned MF_BYPOSITION = 0x400;
  static constexpr unsigned MF_OWNERDRAW = 0x100;

  explicit CDiyMenu(QWidget* parent = nullptr);
  ~CDiyMenu() override;

  QAction* AppendItem(unsigned id, const QString& text, bool enabled = true);
  void AppendSeparator();
  QAction* AppendSubMenu(QMenu* menu, const QString& text);
  bool ModifyItem(unsigned position, unsigned flags, unsigned newId, const QString& text);

  QString TextOf(unsigned id) const;
  QAction* ActionOf(unsigned id) const;
  // The icon picture of a command id (0 for none), following the online flag.
  unsigned IconFor(unsigned id) const;

  bool m_bOnline = false;

  static constexpr int kItemWidth = 130;
  static constexpr int kItemHeight = 27;
  static constexpr int kBand = 27;

 signals:
  void command(unsigned id);

 protected:
  void showEvent(QShowEvent*) override;

 private:
  std::map<unsigned, QString> texts_;
};

}  // namespace ks::skin
