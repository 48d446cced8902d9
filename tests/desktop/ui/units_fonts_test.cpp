// Dialog units with fixed base units, MulDiv, and the fonts of the language sections.
#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QRawFont>
#include <QTextLayout>

#include <gtest/gtest.h>

#include <memory>

namespace {

TEST(DialogUnits, TemplatesConvertWithTheFixedBaseUnitsTruncated) {
  struct Case {
    QRect du;
    int points;
    QRect px;
  } cases[] = {
      {{0, 0, 203, 113}, 9, {0, 0, 355, 197}},   // template 105: the message box picture's size
      {{34, 90, 42, 14}, 9, {59, 157, 73, 24}},  // its OK button
      {{12, 33, 177, 49}, 9, {21, 57, 309, 85}},  // its text
      {{0, 0, 241, 133}, 9, {0, 0, 421, 232}},   // log-in dialog
      {{0, 0, 353, 184}, 8, {0, 0, 529, 299}},   // registration dialog
      {{0, 0, 479, 287}, 8, {0, 0, 718, 466}},   // wizard
      {{7, 3, 1, 1}, 8, {10, 4, 1, 1}},
  };
  for (const Case& c : cases) EXPECT_EQ(ks::ui::DuToPx(c.du, c.points), c.px) << c.du.x() << "," << c.du.y();
  EXPECT_EQ(ks::ui::DuToPx(QSize(203, 113), 9), QSize(355, 197));
  EXPECT_EQ(ks::ui::BaseUnitsFor(10).x, 7);  // other sizes scale the 9-pt units
  EXPECT_EQ(ks::ui::BaseUnitsFor(10).y, 15);
}

TEST(DialogUnits, MulDivRoundsHalfAwayFromZeroAndGuardsZero) {
  struct Case {
    int a, b, c, want;
  } cases[] = {{-9, 96, 72, -12}, {9, 96, 72, 12}, {-12, 96, 72, -16}, {1, 1, 2, 1},
               {-1, 1, 2, -1},    {5, 1, 4, 1},    {7, 1, 4, 2},       {3, 4, 0, -1}};
  for (const Case& c : cases) EXPECT_EQ(ks::ui::MulDiv(c.a, c.b, c.c), c.want) << c.a << "*" << c.b << "/" << c.c;
}

class FontsTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
  void TearDown() override { ks::ui::SetLanguageSource(nullptr); }
};

TEST_F(FontsTest, RecordsBecomeFontsByTheLogFontRule) {
  // FONT_HEIGHT -9 -> LOGFONT +12: cell height 12; +9 -> -12: character height 12 px.
  ks::ui::FontRecord cell{QStringLiteral("Arial"), -9, 400};
  QFont f = ks::ui::FontFromRecord(cell, false);
  QFontMetricsF m(f);
  EXPECT_EQ(ks::ui::LogFontHeight(cell), 12);
  EXPECT_LE(m.ascent() + m.descent(), 12.0 + 0.01);
  EXPECT_GE(m.ascent() + m.descent(), 9.0);

  ks::ui::FontRecord em{QStringLiteral("Arial"), 9, 0};
  QFont g = ks::ui::FontFromRecord(em, true);
  EXPECT_EQ(g.pixelSize(), 12);
  EXPECT_EQ(g.weight(), QFont::Normal);  // weight 0 means 400
  EXPECT_TRUE(g.underline());

  ks::ui::FontRecord bold{QStringLiteral("Microsoft YaHei"), -12, 700};
  EXPECT_EQ(ks::ui::FontFromRecord(bold, false).weight(), QFont::Bold);
  QFontMetricsF bm(ks::ui::FontFromRecord(bold, false));
  EXPECT_LE(bm.ascent() + bm.descent(), 16.0 + 0.01);  // LOGFONT +16: a cell of 16 px
}

TEST_F(FontsTest, EveryFaceOfTheLanguageFilesDrawsLatinAndChineseWithRealGlyphs) {
  const QString text = QString::fromUtf8("OK 确定 確定");
  for (const char* face : {"Arial", "Microsoft YaHei", "Microsoft JhengHei", "MS Shell Dlg"}) {
    QFont font = ks::ui::FontFromRecord({QString::fromLatin1(face), -9, 400}, false);
    QTextLayout layout(text, font);
    layout.beginLayout();
    layout.createLine();
    layout.endLayout();
    for (const QGlyphRun& run : layout.glyphRuns()) {
      QRawFont raw = run.rawFont();
      for (quint32 glyph : run.glyphIndexes()) EXPECT_NE(glyph, 0u) << face << " in " << raw.familyName().toStdString();
    }
  }
}

// Latin faces of the language files draw with a Latin stand-in (never the CJK face's Latin
// letters), Chinese faces with the CJK face; the Chinese characters of a Latin face's text
// still come from the CJK face.
TEST_F(FontsTest, FacesResolveToTheirOwnKindOfStandIn) {
  const QString cjk = QStringLiteral("WenQuanYi Micro Hei");
  if (!QFontDatabase::families().contains(cjk) || !QFontDatabase::families().contains(QStringLiteral("DejaVu Sans")))
    GTEST_SKIP() << "the fonts of scripts/install-deps are not installed";
  struct Case {
    const char* face;
    bool chinese;
  } cases[] = {{"Arial", false}, {"MS Shell Dlg", false}, {"Tahoma", false},
               {"Microsoft YaHei", true}, {"SimSun", true}, {"宋体", true}};
  for (const Case& c : cases) {
    const QFont font = ks::ui::FontFromRecord({QString::fromUtf8(c.face), -9, 400}, false);
    EXPECT_EQ(QFontInfo(font).family() == cjk, c.chinese) << c.face << " -> " << QFontInfo(font).family().toStdString();
  }
  QTextLayout layout(QString::fromUtf8("OK 确定"), ks::ui::FontFromRecord({QStringLiteral("Arial"), -9, 400}, false));
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  QStringList used;
  for (const QGlyphRun& run : layout.glyphRuns()) used << run.rawFont().familyName();
  EXPECT_TRUE(used.contains(cjk)) << used.join(',').toStdString();
  EXPECT_GE(used.size(), 2) << used.join(',').toStdString();
}

class FakeSource : public ks::ui::LanguageSource {
 public:
  int CurrentLanguage() const override { return 1; }
  QString Text(const std::string& s, const std::string& k) const override {
    return s == "UI" && k == "DIALOG_TITLE" ? QStringLiteral("Kestyl") : QString();
  }
  std::optional<ks::ui::FontRecord> Font(const std::string& section) const override {
    if (section == "FONT_MESSAGEBOX_BUTTON") return ks::ui::FontRecord{QStringLiteral("Arial"), 9, 700};
    return std::nullopt;
  }
};

TEST_F(FontsTest, CreateLanguageFontUsesTheSourceOrFallsBackToArial) {
  QFont none = ks::ui::CreateLanguageFont("FONT_MESSAGEBOX_BUTTON", false);
  EXPECT_EQ(none.family(), QStringLiteral("Arial"));
  EXPECT_EQ(none.pixelSize(), 12);
  EXPECT_EQ(none.weight(), QFont::Normal);

  ks::ui::SetLanguageSource(std::make_shared<FakeSource>());
  QFont f = ks::ui::CreateFontFromLanguage("FONT_MESSAGEBOX_BUTTON", true);
  EXPECT_EQ(f.pixelSize(), 12);
  EXPECT_EQ(f.weight(), QFont::Bold);
  EXPECT_TRUE(f.underline());
  EXPECT_EQ(ks::ui::CreateLanguageFont("FONT_MISSING").weight(), QFont::Normal);
  EXPECT_EQ(ks::ui::LangText("UI", "DIALOG_TITLE"), QStringLiteral("Kestyl"));
  EXPECT_EQ(ks::ui::CurrentLanguage(), 1);
}

TEST_F(FontsTest, LanguageOverrideTakesOnlyTheThreeIndices) {
  struct Case {
    const char* value;
    int want;
  } cases[] = {{"0", 0}, {"1", 1}, {"2", 2}, {"3", -1}, {"", -1}, {"1x", -1}, {nullptr, -1}};
  for (const Case& c : cases) {
    if (c.value) qputenv("KESTYL_LANGUAGE", c.value);
    else qunsetenv("KESTYL_LANGUAGE");
    EXPECT_EQ(ks::ui::LanguageOverride(), c.want) << (c.value ? c.value : "(unset)");
  }
  qunsetenv("KESTYL_LANGUAGE");
}

}  // namespace

// The installed language files through the language tables, with the process override.
#include "desktop/foundation/ui/language_tables.h"

namespace {

TEST(LanguageTables, TheOverrideLanguageGivesItsTextsAndFonts) {
  kstest::EnsureGuiApp();
  ks::desktop::CLanguages::SetLanguageFolder(KS_BIN_DIR);
  qputenv("KESTYL_LANGUAGE", "2");
  ASSERT_TRUE(ks::ui::InstallLanguageTables());
  qunsetenv("KESTYL_LANGUAGE");
  EXPECT_EQ(ks::ui::CurrentLanguage(), 2);
  EXPECT_EQ(ks::ui::LangText("UI", "DIALOG_TITLE"), QStringLiteral("Kestyl"));
  EXPECT_EQ(ks::ui::LangText("UI", "MSGBOX_BUTTON_OK"), QString::fromUtf8("確定"));
  EXPECT_EQ(ks::ui::LangText("UI", "NO_SUCH_KEY"), QString());
  auto font = ks::ui::GetLanguageSource()->Font("FONT_MESSAGEBOX_BUTTON");
  ASSERT_TRUE(font.has_value());
  EXPECT_EQ(font->name, QStringLiteral("Microsoft JhengHei"));
  EXPECT_EQ(font->height, -9);
  ks::ui::SetLanguageSource(nullptr);  // releases the tables' reference
}

}  // namespace
