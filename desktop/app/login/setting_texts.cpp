#include "desktop/app/login/setting_texts.h"

#include "desktop/foundation/skin/buttons.h"
#include "desktop/foundation/skin/combo_menu.h"
#include "desktop/foundation/skin/diy_static_button.h"
#include "desktop/foundation/skin/list_ctrl.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QTreeWidget>

namespace ks::login {

namespace {

using K = SettingText::Kind;

void SetControlText(QWidget* control, const QString& text) {
  if (auto* b = qobject_cast<ks::skin::CColorButton*>(control)) {
    b->SetCaption(text);
  } else if (auto* s = qobject_cast<ks::skin::CSettingButton*>(control)) {
    s->SetCaption(text);
  } else if (auto* d = qobject_cast<ks::skin::CDiyStatic*>(control)) {
    d->setText(text);
  } else if (auto* l = qobject_cast<QLabel*>(control)) {
    l->setText(text);
  } else if (auto* e = qobject_cast<QLineEdit*>(control)) {
    e->setText(text);
  } else if (auto* a = qobject_cast<QAbstractButton*>(control)) {
    a->setText(text);
  } else {
    control->setWindowTitle(text);
  }
}

}  // namespace

const std::vector<SettingText>& SettingTexts() {
  static const std::vector<SettingText> table = {
      {1012, K::kColumn, 0, "UI", "SETTING_LISTBOX_FOLDER", 130},
      {1012, K::kColumn, 1, "UI", "SETTING_LISTBOX_PATH", 218},
      {1132, K::kColumn, 0, "UI", "SETTING_LISTBOX_TRANS_FILENAME", 219},
      {1132, K::kColumn, 1, "UI", "SETTING_LISTBOX_TRANS_SIZE", 76},
      {1132, K::kColumn, 2, "UI", "SETTING_LISTBOX_TRANS_TIME", 138},
      {1051, K::kBound, -1, "UI", "SETTING_STATIC_LANGUAGESET", 0},
      {1054, K::kBound, -1, "UI", "SETTING_STATIC_DATAFOLDER", 0},
      {1078, K::kWindowText, -1, "UI", "SETTING_STATIC_SETTING1", 0},
      {1079, K::kWindowText, -1, "UI", "SETTING_STATIC_START", 0},
      {1084, K::kWindowText, -1, "UI", "SETTING_STATIC_SETTING2", 0},
      {1048, K::kPageCaption, -1, "UI", "SETTING_BUTTON_SETTING", 0},
      {1049, K::kPageCaption, -1, "UI", "SETTING_BUTTON_SHARE", 0},
      {1133, K::kPageCaption, -1, "UI", "SETTING_BUTTON_TRANS", 0},
      {1138, K::kPageCaption, -1, "UI", "SETTING_BUTTON_ACCOUNT", 0},
      {1163, K::kPageCaption, -1, "UI", "SETTING_BUTTON_SYNC", 0},
      {1020, K::kCaption, -1, "UI", "SETTING_BUTTON_OK", 0},
      {1019, K::kCaption, -1, "UI", "SETTING_BUTTON_CANCEL", 0},
      {1155, K::kCaption, -1, "UI", "SETTING_BUTTON_WAKEUP", 0},
      {1017, K::kCaption, -1, "UI", "SETTING_BUTTON_ADD", 0},
      {1016, K::kCaption, -1, "UI", "SETTING_BUTTON_DELETE", 0},
      {1050, K::kCaption, -1, "UI", "SETTING_CHECKBOX_AUTOSTART", 0},
      {1074, K::kCaption, -1, "UI", "SETTING_CHECKBOX_AUTOSORT", 0},
      {1165, K::kWindowText, -1, "UI", "SETTING_STATIC_SORTPHOTOS", 0},
      {1167, K::kWindowText, -1, "UI", "SETTING_STATIC_WAKEUP", 0},
      {1055, K::kCaption, -1, "UI", "SETTING_BUTTON_MOVEFOLDER", 0},
      {1135, K::kCaption, -1, "UI", "SETTING_BUTTON_SWITCH_ACCOUNT", 0},
      {1053, K::kComboItem, 0, "LANGUAGE", "LANGUAGE_CHINESESIMPLIFIED", 0},
      {1053, K::kComboItem, 1, "LANGUAGE", "LANGUAGE_ENGLISH", 0},
      {1053, K::kComboItem, 2, "LANGUAGE", "LANGUAGE_CHINESETRAD", 0},
  };
  return table;
}

QWidget* FindControl(QWidget* window, int id) {
  if (window == nullptr) return nullptr;
  for (QWidget* w : window->findChildren<QWidget*>())
    if (ks::ui::ControlId(w) == id) return w;
  return nullptr;
}

bool ApplySettingTexts(QWidget* window) {
  bool anyText = false;
  QStringList languages;
  for (const SettingText& t : SettingTexts()) {
    const QString text = ks::ui::LangText(t.section, t.key);
    anyText = anyText || !text.isEmpty();
    if (t.kind == K::kComboItem) {
      languages << text;
      continue;
    }
    QWidget* control = FindControl(window, t.control);
    if (control == nullptr) continue;
    if (t.kind == K::kColumn) {
      auto* list = qobject_cast<QTreeWidget*>(control);
      if (list == nullptr || t.index >= list->columnCount()) continue;
      list->headerItem()->setText(t.index, text);
      list->headerItem()->setTextAlignment(t.index, Qt::AlignLeft | Qt::AlignVCenter);
      list->setColumnWidth(t.index, t.width);
      continue;
    }
    SetControlText(control, text);
  }
  if (auto* sw = qobject_cast<ks::skin::CColorButton*>(FindControl(window, 1135))) {
    sw->m_textColor = 0xFF41799C;
    sw->update();
  }
  if (auto* combo = qobject_cast<ks::skin::CColorCombobox*>(FindControl(window, 1053))) {
    combo->m_textColor = 0xFF323232;
    combo->setCurrentIndex(-1);
    for (int i = combo->count() - 1; i >= 0; --i) combo->removeItem(i);
    for (int i = 0; i < languages.size(); ++i) combo->InsertString(i, languages[i]);
    combo->setMaxVisibleItems(8);
    combo->setCurrentIndex(ks::ui::CurrentLanguage() >= 0 && ks::ui::CurrentLanguage() < combo->count()
                               ? ks::ui::CurrentLanguage()
                               : -1);
  }
  return anyText;
}

std::optional<LabelColours> LabelColoursFor(int control) {
  switch (control) {
    case 1025:
    case 1053: return LabelColours{0xFFFFFFFF, 0xFF000000};
    case 1050: return LabelColours{0xFFF8F8F8, std::nullopt};
    case 1051:
    case 1167: return LabelColours{0xFFF7F7F7, 0xFF000000};
    case 1054: return LabelColours{0xFFF6F6F6, 0xFF000000};
    case 1078: return LabelColours{0xFFF9F9F9, 0xFF888888};
    case 1079: return LabelColours{0xFFF8F8F8, 0xFF000000};
    case 1084: return LabelColours{0xFFF6F6F6, 0xFF888888};
    default: return std::nullopt;
  }
}

void ApplyLabelColour(QWidget* control) {
  if (control == nullptr) return;
  const std::optional<LabelColours> colours = LabelColoursFor(ks::ui::ControlId(control));
  if (!colours) return;
  QPalette palette = control->palette();
  palette.setColor(QPalette::Window, QColor::fromRgb(colours->background));
  palette.setColor(QPalette::Base, QColor::fromRgb(colours->background));
  if (colours->text) {
    palette.setColor(QPalette::WindowText, QColor::fromRgb(*colours->text));
    palette.setColor(QPalette::Text, QColor::fromRgb(*colours->text));
  }
  control->setPalette(palette);
  control->setAutoFillBackground(true);
  if (auto* d = qobject_cast<ks::skin::CDiyStatic*>(control); d && colours->text) d->m_textColor = *colours->text;
}

void ApplyLabelColours(QWidget* window) {
  for (int id : {1025, 1053, 1050, 1051, 1167, 1054, 1078, 1079, 1084}) ApplyLabelColour(FindControl(window, id));
}

CheckBoxWidth CheckBoxWidths(int language) { return language == 1 ? CheckBoxWidth{220, 195} : CheckBoxWidth{105, 140}; }

void ApplyCheckBoxWidths(QWidget* window, int language) {
  const CheckBoxWidth widths = CheckBoxWidths(language);
  if (QWidget* a = FindControl(window, 1050)) a->resize(widths.autoStart, a->height());
  if (QWidget* p = FindControl(window, 1074)) p->resize(widths.photoSort, p->height());
}

}  // namespace ks::login
