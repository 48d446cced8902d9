#include "desktop/app/connect/connect_dlg.h"

#include "desktop/foundation/ui/dialog_units.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_source.h"
#include "desktop/foundation/ui/resources.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QKeyEvent>

#include <cstring>

namespace ks::desktop {

using ks::skin::CColorButton;
using ks::skin::CDiyStatic;

namespace {

constexpr int kTemplatePoints = 8;
constexpr QRgb kInfoColour = 0xFF0F92E5;
constexpr QRgb kOtherColour = 0xFF555555;

}  // namespace

QString RequestFieldText(const char* field, size_t capacity) {
  if (field == nullptr) return {};
  const size_t length = strnlen(field, capacity);
  QString text = QString::fromUtf8(field, static_cast<qsizetype>(length));
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    if (u < 0x20 || (u >= 0x7F && u < 0xA0) || u == 0x2028 || u == 0x2029) c = QLatin1Char(' ');
  }
  return text;
}

CConnectDlg::CConnectDlg(QWidget* parent) : CDiyDialog(parent) {
  m_nBkImageID = 253;
  m_strBkImageType = QStringLiteral("PNG");
  m_bShowMinButton = false;
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  setWindowIcon(ks::ui::LoadIconResource(128));

  auto makeButton = [this](int id, const QRect& du) {
    auto* b = new CColorButton(this);
    ks::ui::SetControlId(b, id);
    b->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
    return b;
  };
  auto makeStatic = [this](int id, const QRect& du) {
    auto* s = new CDiyStatic(this);
    ks::ui::SetControlId(s, id);
    s->setGeometry(ks::ui::DuToPx(du, kTemplatePoints));
    return s;
  };
  m_btOk = makeButton(ks::skin::IDOK, {33, 120, 61, 17});
  m_btCancel = makeButton(ks::skin::IDCANCEL, {142, 120, 61, 17});
  m_stTitle = makeStatic(kTitleId, {43, 30, 151, 16});
  m_stSender = makeStatic(kSenderId, {41, 53, 175, 15});
  m_stNetwork = makeStatic(kNetworkId, {41, 71, 179, 15});
  m_stOther = makeStatic(kOtherId, {15, 91, 207, 18});
  connect(m_btOk, &QAbstractButton::clicked, this, [this] { done(ks::skin::IDOK); });
  connect(m_btCancel, &QAbstractButton::clicked, this, [this] { done(ks::skin::IDCANCEL); });
}

CConnectDlg::~CConnectDlg() = default;

CDiyStatic* CConnectDlg::control(int id) const {
  switch (id) {
    case kTitleId: return m_stTitle;
    case kSenderId: return m_stSender;
    case kNetworkId: return m_stNetwork;
    case kOtherId: return m_stOther;
    default: return nullptr;
  }
}

bool CConnectDlg::OnInitDialog() {
  CDiyDialog::OnInitDialog();
  m_titleFont = ks::ui::CreateLanguageFont("FONT_CONNECT_TITLE");
  m_infoFont = ks::ui::CreateLanguageFont("FONT_CONNECT_INFO");
  m_otherFont = ks::ui::CreateLanguageFont("FONT_CONNECT_OTHER");
  m_buttonFont = ks::ui::CreateLanguageFont("FONT_CONNECT_BUTTON");

  const ks::ui::TextFormat near{ks::ui::Align::Near, ks::ui::Align::Near, ks::ui::kOneLine};
  const ks::ui::TextFormat centred{ks::ui::Align::Center, ks::ui::Align::Center, ks::ui::kOneLine};
  auto setUp = [](CDiyStatic* s, const QFont& font, QRgb colour, const ks::ui::TextFormat& format) {
    s->SetTextFont(font);
    s->setFont(font);
    s->m_textColor = colour;
    s->SetAlignment(format);
  };
  setUp(m_stSender, m_infoFont, kInfoColour, near);
  setUp(m_stNetwork, m_infoFont, kInfoColour, near);
  setUp(m_stTitle, m_titleFont, kInfoColour, centred);
  setUp(m_stOther, m_otherFont, kOtherColour, centred);

  for (CColorButton* b : {m_btOk, m_btCancel}) {
    b->SetTextFont(m_buttonFont);
    b->m_textColor = 0xFF000000;
    b->SetImages(384, 384, 385, 384);
  }
  m_btOk->setFocus();
  setFixedSize(353, 251);
  // The texts are in place before the first paint, so whoever looks sees them at once.
  LoadLanguageTexts();
  return true;
}

void CConnectDlg::LoadLanguageTexts() {
  m_bTextsLoaded = true;
  m_stTitle->setText(ks::ui::LangText("UI", "CONNECT_STATIC_TITLE"));
  m_stSender->setText(ks::ui::LangText("UI", "CONNECT_STATIC_SENDER") +
                      RequestFieldText(m_request.sender, sizeof m_request.sender));
  m_stNetwork->setText(ks::ui::LangText("UI", "CONNECT_STATIC_NET") +
                       RequestFieldText(m_request.network, sizeof m_request.network));
  m_stOther->setText(ks::ui::LangText("UI", "CONNECT_STATIC_OTHER"));
  m_btOk->SetCaption(ks::ui::LangText("UI", "CONNECT_BUTTON_OK"));
  m_btCancel->SetCaption(ks::ui::LangText("UI", "CONNECT_BUTTON_CANCEL"));
  m_strTitle = ks::ui::LangText("UI", "DIALOG_TITLE");
  update();
}

void CConnectDlg::paintEvent(QPaintEvent* e) {
  if (!m_bTextsLoaded) LoadLanguageTexts();
  CDiyDialog::paintEvent(e);
}

void CConnectDlg::keyPressEvent(QKeyEvent* e) {
  // OK is the default button: Return answers as it does.
  if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier) {
    done(ks::skin::IDOK);
    return;
  }
  CDiyDialog::keyPressEvent(e);
}

void CConnectDlg::done(int result) {
  if (m_bAnswered) return;  // one answer per dialog, whichever way came first
  m_bAnswered = true;
  if (m_pListener != nullptr) {
    const ConnectDlgResult answer{m_request.requestId, result == ks::skin::IDOK};
    m_pListener->OnConnectDlgResult(&answer);
  }
  CDiyDialog::done(result);
}

}  // namespace ks::desktop
