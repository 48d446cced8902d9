// The main window's language texts, label colours and check-box widths, as tables with one
// routine each that applies them to the window's controls found by their control ids
// (ks::ui::ControlId). A control the window does not have is skipped.
//
// SettingTexts(): in the order they are set (all section "UI" unless noted): the five list
// column headers (left aligned, with their widths), the bound texts 1051/1054, the window
// texts and captions, the page buttons' captions, and the three language names of the
// combo box 1053 (section "LANGUAGE", in the order of the language indexes).
// ApplySettingTexts sets them, colours the switch-account caption (0xFF41799C) and the
// combo's text (0xFF323232), refills the combo and selects the current language; it
// returns false when the language source gave no text at all (the caller sets them again at
// the next paint).
//
// LabelColoursFor(id): the background and (where given) text colour of the labels, edits
// and combo box of the settings page; ApplyLabelColours puts them into each control's
// palette (Window/Base and WindowText/Text) with auto-filled background.
//
// CheckBoxWidths(language): 1050 and 1074 are 220 and 195 pixels wide in English (1), 105
// and 140 otherwise; ApplyCheckBoxWidths keeps their position and height.
//
// GUI thread only for the Apply routines; the tables are constant.
#pragma once

#include <QRgb>
#include <QWidget>

#include <optional>
#include <vector>

namespace ks::login {

struct SettingText {
  enum Kind { kColumn, kBound, kWindowText, kCaption, kPageCaption, kComboItem };
  int control;
  Kind kind;
  int index;          // column or combo item; -1 otherwise
  const char* section;
  const char* key;
  int width;          // column width; 0 otherwise
};
const std::vector<SettingText>& SettingTexts();
bool ApplySettingTexts(QWidget* window);

struct LabelColours {
  QRgb background;
  std::optional<QRgb> text;
};
std::optional<LabelColours> LabelColoursFor(int control);
// One control by its id (nothing for a control without colours of its own).
void ApplyLabelColour(QWidget* control);
void ApplyLabelColours(QWidget* window);

struct CheckBoxWidth {
  int autoStart;   // 1050
  int photoSort;   // 1074
};
CheckBoxWidth CheckBoxWidths(int language);
void ApplyCheckBoxWidths(QWidget* window, int language);

// The first child of `window` with the control id (null when none).
QWidget* FindControl(QWidget* window, int id);

}  // namespace ks::login
