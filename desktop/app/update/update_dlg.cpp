#include "desktop/app/update/update_dlg.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScreen>
#include <QTimer>

namespace ks::update {
namespace {
constexpr int kTemplatePoints = 9;
constexpr QRgb kNoteColour = 0xFF888888;
}  // namespace

CUpdateDlg::CUpdateDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 272;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setFixedSize(ks::ui::DuToPx(QSize(237, 176), kTemplatePoints));

  auto label = [this](int id, const QRect& at) {
    auto* s = new ks::skin::CDiyStatic(this);
    ks::ui::SetControlId(s, id);
    s->setGeometry(at);
    return s;
  };
  m_staticHeading = label(kHeadingId, QRect(20, 52, width() - 40, 30));
  m_staticNote1 = label(kNote1Id, QRect(30, 222, width() - 60, 18));
  m_staticNote2 = label(kNote2Id, QRect(30, 240, width() - 60, 18));
  // Hidden by the template: kept for the languages that fill them.
  m_staticNote1->hide();
  m_staticNote2->hide();

  m_editInfo = new QPlainTextEdit(this);
  ks::ui::SetControlId(m_editInfo, kInfoId);
  m_editInfo->setGeometry(30, 92, width() - 60, 150);
  m_editInfo->setReadOnly(true);
  m_editInfo->setFrameShape(QFrame::NoFrame);
  m_editInfo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette pal = m_editInfo->palette();
  pal.setColor(QPalette::Base, QColor(0xFF, 0xFF, 0xFF));
  pal.setColor(QPalette::Text, QColor(0x50, 0x50, 0x50));
  m_editInfo->setPalette(pal);

  m_btnOk = new ks::skin::CColorButton(this);
  ks::ui::SetControlId(m_btnOk, kOkId);
  m_btnOk->setGeometry((width() - 75) / 2, 262, 75, 24);
  connect(m_btnOk, &QAbstractButton::clicked, this, [this] { done(ks::skin::IDOK); });
}

CUpdateDlg::~CUpdateDlg() = default;

bool CUpdateDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  setWindowIcon(ks::ui::LoadIconResource(128));
  const QFont staticFont = ks::ui::CreateLanguageFont("FONT_UPDATE_STATIC");
  const QFont noteFont = ks::ui::CreateLanguageFont("FONT_UPDATE_STATIC1");
  const QFont buttonFont = ks::ui::CreateLanguageFont("FONT_UPDATE_BUTTON");

  m_btnOk->SetCaption(ks::ui::LangText("UI", "MSGBOX_BUTTON_OK"));
  m_btnOk->m_textColor = 0xFF434343;
  m_btnOk->SetTextFont(buttonFont);
  m_btnOk->SetImages(334, 334, 335, 334);

  for (ks::skin::CDiyStatic* note : {m_staticNote1, m_staticNote2}) {
    note->SetTextFont(noteFont);
    note->m_textColor = kNoteColour;
  }
  m_staticHeading->SetTextFont(staticFont);
  m_staticHeading->SetAlignment({ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kOneLine});
  m_staticHeading->m_textColor = 0xFF514F50;
  m_editInfo->setFont(staticFont);

  m_staticHeading->setText(ks::ui::LangText("UI", "UPDATE_STATIC1"));
  m_staticNote1->setText(ks::ui::LangText("UI", "UPDATE_STATIC3"));
  m_staticNote2->setText(ks::ui::LangText("UI", "UPDATE_STATIC4"));
  m_strInfo = ks::ui::LangText("MESSAGEBOX", "MSGBOX_STATUS_UPDATEINFO");
  m_strInfo.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  m_editInfo->setPlainText(m_strInfo);
  ks::ui::TraceText(m_editInfo, m_strInfo);
  return true;
}

void CUpdateDlg::ShowNearCorner(int closeAfterMs) {
  move(0, 0);
  show();
  repaint();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect s = screen->geometry();
    move(s.left() + s.width() - kScreenMargin - width(), s.top() + s.height() - kScreenMargin - height());
  }
  QPointer<CUpdateDlg> self(this);
  QTimer::singleShot(closeAfterMs, this, [self] {
    if (self) self->close();
  });
}

}  // namespace ks::update
