// Resource pictures by id and the UI trace lines.
#include "desktop/foundation/ui/balloon_tip.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"
#include "tests/desktop/ui/ui_test_kit.h"

#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QToolTip>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override { kstest::EnsureGuiApp(); }
};

TEST_F(ResourcesTest, PicturesLoadByIdWithTheirSizesAndProbeColours) {
  struct Case {
    unsigned id;
    const char* type;
  } cases[] = {{263, "PNG"}, {326, "png"}, {376, "PNG"}, {297, "BMP"}, {368, "ICO"}};
  for (const Case& c : cases) {
    ks::art::ArtworkRow row = kstest::ArtProbe(std::to_string(c.id));
    QImage image = ks::ui::LoadImageFromResource(c.id, QString::fromLatin1(c.type));
    ASSERT_FALSE(image.isNull()) << c.id;
    EXPECT_EQ(image.size(), QSize(row.width, row.height)) << c.id;
    EXPECT_TRUE(kstest::SameColour(image.pixel(row.probeX, row.probeY), kstest::ArtColour(row.id)))
        << c.id << " " << kstest::Hex(image.pixel(row.probeX, row.probeY));
  }
  EXPECT_EQ(ks::ui::LoadPngResource(263).size(), QSize(355, 197));
  EXPECT_TRUE(ks::ui::LoadPngResourceZ(99999).isNull());
  EXPECT_TRUE(ks::ui::LoadImageFromResource(263, QStringLiteral("GIF")).isNull());
  EXPECT_TRUE(ks::ui::LoadImageFromResource(297, QStringLiteral("PNG")).isNull());  // a BMP only

  QIcon icon = ks::ui::LoadIconResource(174);
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.availableSizes().size(), 3);
  EXPECT_TRUE(ks::ui::LoadIconResource(99999).isNull());
}

QStringList ReadLines(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

TEST_F(ResourcesTest, TraceWritesShowTitleCtlAndHideLinesWithQuotedTexts) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("trace.txt"));
  ks::ui::SetTraceFile(path);
  ks::ui::InstallUiTracer();
  {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("say \"hi\"\\now"));
    dialog.setGeometry(100, 120, 200, 90);
    auto* label = new QLabel(QStringLiteral("x"), &dialog);
    ks::ui::SetControlId(label, 1101);
    label->setGeometry(10, 20, 50, 16);
    dialog.show();
    kstest::ProcessEvents();
    dialog.setWindowTitle(QStringLiteral("line1\nline2"));
    label->move(12, 20);
    kstest::ProcessEvents();
    // Moving the window moves the control on the screen: its line follows.
    dialog.setGeometry(300, 320, 200, 90);
    kstest::ProcessEvents();
    ks::ui::TraceText(label, QStringLiteral("a b"));
    ks::ui::TraceResult(&dialog, 2);
    dialog.hide();
    kstest::ProcessEvents();
  }
  ks::ui::SetTraceFile(QString());
  QStringList lines = ReadLines(path);
  const QStringList expected = {
      QStringLiteral("show QDialog \"say \\\"hi\\\"\\\\now\""),
      QStringLiteral("ctl QDialog 0 100 120 200 90 1 1"),
      QStringLiteral("ctl QLabel 1101 110 140 50 16 1 1"),
      QStringLiteral("title QDialog \"line1\\nline2\""),
      QStringLiteral("ctl QLabel 1101 112 140 50 16 1 1"),
      QStringLiteral("ctl QLabel 1101 312 340 50 16 1 1"),
      QStringLiteral("text QLabel 1101 \"a b\""),
      QStringLiteral("result QDialog 2"),
      QStringLiteral("hide QDialog \"line1\\nline2\""),
  };
  for (const QString& e : expected) EXPECT_TRUE(lines.contains(e)) << e.toStdString() << "\n---\n" << lines.join('\n').toStdString();
  EXPECT_LT(lines.indexOf(expected[0]), lines.indexOf(expected[8]));
  EXPECT_FALSE(ks::ui::TraceEnabled());
}

TEST_F(ResourcesTest, EditBalloonShowsATipAndTracesItsText) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("trace.txt"));
  ks::ui::SetTraceFile(path);
  QDialog dialog;
  auto* edit = new QLineEdit(&dialog);
  ks::ui::SetControlId(edit, 1005);
  edit->setGeometry(10, 10, 150, 22);
  dialog.show();
  kstest::ProcessEvents();
  ks::ui::ShowEditBalloon(edit, QStringLiteral("Log in"), QStringLiteral("Enter the \"password\"\nagain"));
  ks::ui::SetTraceFile(QString());
  EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("Enter the &quot;password&quot;<br>again")));
  // Other lines (show, ctl) come from the window tracer when an earlier test installed it.
  EXPECT_EQ(ReadLines(path).filter(QRegularExpression(QStringLiteral("^balloon "))), QStringList{QStringLiteral("balloon 1005 \"Enter the \\\"password\\\"\\nagain\"")});
  QToolTip::hideText();
}

}  // namespace
