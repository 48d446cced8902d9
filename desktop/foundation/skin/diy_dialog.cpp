#include "desktop/foundation/skin/diy_dialog.h"

#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/msg_event.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <cmath>

namespace ks::skin {
namespace {

struct Decoration {
  unsigned layout;
  unsigned picture;
  QPoint at;
};

const Decoration kDecorations[] = {
    {101, 386, {178, 56}}, {101, 386, {178, 105}}, {101, 386, {178, 154}},
    {102, 369, {109, 62}}, {102, 369, {109, 105}}, {129, 370, {29, 349}},
};

}  // namespace

CDiyDialog::CDiyDialog(QWidget* parent) : QDialog(parent) {
  ks::ui::RegisterMsg(kMsgHideSelf);
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setAttribute(Qt::WA_NoSystemBackground, false);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(0xF4, 0xF4, 0xF4));
  setPalette(pal);
  ks::ui::InstallUiTracer();
}

CDiyDialog::~CDiyDialog() = default;

int CDiyDialog::DoModal() { return exec(); }

void CDiyDialog::Minimize() {
  QMetaObject::invokeMethod(this, [this] { showMinimized(); }, Qt::QueuedConnection);
}

unsigned CDiyDialog::TitleImageFor(int language) {
  switch (language) {
    case 0: return 344;
    case 1: return 376;
    case 2: return 377;
    default: return 0;
  }
}

QRegion CDiyDialog::RoundedRegion(int width, int height, int ellipse) {
  if (width <= 0 || height <= 0) return QRegion();
  const double r = std::min({ellipse / 2.0, width / 2.0, height / 2.0});
  if (r < 1) return QRegion(0, 0, width, height);
  QRegion region;
  const int rows = static_cast<int>(std::ceil(r));
  region += QRect(0, rows, width, std::max(0, height - 2 * rows));
  for (int y = 0; y < rows; ++y) {
    const double dy = r - (y + 0.5);
    const int inset = static_cast<int>(std::lround(r - std::sqrt(std::max(0.0, r * r - dy * dy))));
    const int w = width - 2 * inset;
    if (w <= 0) continue;
    region += QRect(inset, y, w, 1);
    region += QRect(inset, height - 1 - y, w, 1);
  }
  return region;
}

QImage CDiyDialog::ComposeSkin() const {
  QImage background = ks::ui::LoadImageFromResource(m_nBkImageID, m_strBkImageType);
  if (background.isNull()) return QImage();
  QImage composed = background.copy();
  QPainter p(&composed);
  for (const Decoration& d : kDecorations) {
    if (d.layout != m_nLayoutID) continue;
    if (d.layout == 129 && !m_bShowExtraImage) continue;
    QImage picture = ks::ui::LoadPngResource(d.picture);
    if (!picture.isNull()) p.drawImage(d.at, picture);
  }
  if (m_nTitleImageID != 0 && m_bShowTitleImage) {
    QImage title = ks::ui::LoadImageFromResource(m_nTitleImageID, m_strBkImageType);
    if (!title.isNull()) p.drawImage(QPoint(8, 8), title);
  }
  return composed;
}

QImage CDiyDialog::SkinBackground() const {
  QImage out(size().expandedTo(QSize(1, 1)), QImage::Format_ARGB32_Premultiplied);
  out.fill(palette().color(QPalette::Window));
  QImage skin = ComposeSkin();
  if (!skin.isNull()) {
    QPainter p(&out);
    p.drawImage(0, 0, skin);
  }
  return out;
}

void CDiyDialog::RefreshLanguage() {
  auto source = ks::ui::GetLanguageSource();
  if (!source) return;
  const unsigned title = TitleImageFor(source->CurrentLanguage());
  if (title != 0) m_nTitleImageID = title;
  const QString text = source->Text("UI", "DIALOG_TITLE");
  if (text != windowTitle()) setWindowTitle(text);
}

bool CDiyDialog::OnInitDialog() {
  RefreshLanguage();
  m_pCloseButton = new CTransparentButton(this);
  ks::ui::SetControlId(m_pCloseButton, kCloseButtonId);
  m_pCloseButton->m_normalImage = 326;
  m_pCloseButton->m_hoverImage = 327;
  connect(m_pCloseButton, &QAbstractButton::clicked, this, [this] { OnCloseButton(); });
  m_pMinButton = new CTransparentButton(this);
  ks::ui::SetControlId(m_pMinButton, kMinButtonId);
  m_pMinButton->m_normalImage = 328;
  m_pMinButton->m_hoverImage = 329;
  connect(m_pMinButton, &QAbstractButton::clicked, this, [this] { OnMinimizeButton(); });
  PlaceCaptionButtons();
  m_pCloseButton->show();
  m_pMinButton->setVisible(m_bShowMinButton);
  return true;
}

void CDiyDialog::PlaceCaptionButtons() {
  const int w = width();
  if (m_pCloseButton) m_pCloseButton->setGeometry(QRect(QPoint(w - 34, 0), QPoint(w - 2 - 1, 30 - 1)));
  if (m_pMinButton) m_pMinButton->setGeometry(QRect(QPoint(w - 60, 6), QPoint(w - 34 - 1, 30 - 1)));
}

void CDiyDialog::OnCloseButton() {
  if (m_bHideOnClose) {
    ks::ui::PostMsg(this, kMsgHideSelf);
  } else {
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
  }
}

void CDiyDialog::setVisible(bool visible) {
  if (visible && !initialised_) {
    initialised_ = true;
    OnInitDialog();
  }
  QDialog::setVisible(visible);
}

void CDiyDialog::done(int result) {
  ks::ui::TraceResult(this, result);
  QDialog::done(result);
}

bool CDiyDialog::event(QEvent* e) {
  if (e->type() == static_cast<QEvent::Type>(kMsgHideSelf)) {
    OnHideSelf();
    return true;
  }
  return QDialog::event(e);
}

void CDiyDialog::paintEvent(QPaintEvent*) {
  RefreshLanguage();
  QImage skin = ComposeSkin();
  if (skin.isNull()) return;
  QPainter(this).drawImage(0, 0, skin);
}

void CDiyDialog::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  region_ = RoundedRegion(width(), height(), m_nRoundRadius);
  // The offscreen platform has no window shapes (and says so at every call).
  if (QGuiApplication::platformName() != QLatin1String("offscreen")) setMask(region_);
  PlaceCaptionButtons();
}

void CDiyDialog::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && e->position().y() >= 0 && e->position().y() < m_nCaptionHeight) {
    if (windowHandle() != nullptr && windowHandle()->startSystemMove()) return;
    dragging_ = true;
    dragStartGlobal_ = e->globalPosition().toPoint();
    dragStartPos_ = pos();
    return;
  }
  QDialog::mousePressEvent(e);
}

void CDiyDialog::mouseMoveEvent(QMouseEvent* e) {
  if (dragging_) {
    move(dragStartPos_ + (e->globalPosition().toPoint() - dragStartGlobal_));
    return;
  }
  QDialog::mouseMoveEvent(e);
}

void CDiyDialog::mouseReleaseEvent(QMouseEvent* e) {
  if (dragging_ && e->button() == Qt::LeftButton) {
    move(dragStartPos_ + (e->globalPosition().toPoint() - dragStartGlobal_));
    dragging_ = false;
    return;
  }
  QDialog::mouseReleaseEvent(e);
}

}  // namespace ks::skin
