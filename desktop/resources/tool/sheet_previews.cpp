// Previews for the contact sheet: a few windows composed from the pictures the way the
// program places them (positions from the dialog layouts), with sample English captions,
// so that a reviewer sees the theme in use rather than loose pieces.
#include "desktop/resources/tool/art_render.h"

#include <QFont>
#include <QMap>
#include <QPainter>

namespace ks::art {
namespace {

class Pictures {
 public:
  Pictures(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc)
      : artDir_(artDir), roamingSrc_(roamingSrc) {
    for (const ArtworkRow& r : rows) rows_[QString::fromStdString(r.id)] = r;
  }
  // A picture by id (icons at `size`); null with `error` set when it cannot be drawn.
  QImage Get(const QString& id, int size = 0) {
    QString key = id + "@" + QString::number(size);
    if (!cache_.contains(key)) {
      if (!rows_.contains(id)) {
        error = "no row " + id;
        return QImage();
      }
      const ArtworkRow& r = rows_[id];
      cache_[key] = RenderRow(r, artDir_, roamingSrc_, error, size ? size : r.width);
    }
    return cache_[key];
  }
  QString error;

 private:
  QString artDir_, roamingSrc_;
  QMap<QString, ArtworkRow> rows_;
  QMap<QString, QImage> cache_;
};

QFont UiFont(int px, bool bold = false) {
  QFont f("DejaVu Sans");
  f.setPixelSize(px);
  f.setBold(bold);
  return f;
}

void Text(QPainter& p, const QRect& r, const QString& s, QColor c, int flags = Qt::AlignCenter, int px = 12) {
  p.setFont(UiFont(px));
  p.setPen(c);
  p.drawText(r, flags, s);
}

// Title picture, caption buttons: what every dialog draws over its background.
void Chrome(QPainter& p, Pictures& pics, int w, bool minimise) {
  p.drawImage(8, 8, pics.Get("376"));
  p.drawImage(w - 34 + 9, 8, pics.Get("326"));
  if (minimise) p.drawImage(w - 60 + 6, 6 + 5, pics.Get("328"));
}

void Button(QPainter& p, Pictures& pics, const char* id, int x, int y, const QString& caption, QColor colour = QColor(0x43, 0x43, 0x43)) {
  QImage face = pics.Get(id);
  p.drawImage(x, y, face);
  Text(p, QRect(x, y, face.width(), face.height()), caption, colour);
}

QImage MainWindow(Pictures& pics) {
  QImage w = pics.Get("337").copy();
  QPainter p(&w);
  p.drawImage(0, 41, pics.Get("banner_en.gif"));
  Chrome(p, pics, w.width(), true);
  const char* icons[] = {"339", "311", "308", "310"};
  const char* captions[] = {"Account", "Share", "Transfers", "Settings"};
  for (int i = 0; i < 4; ++i) {
    QRect r(1 + 120 * i, 156, 120, 31);
    if (i == 1)
      p.fillRect(r, QColor(0xEF, 0xF4, 0xFF));  // the selected page button is drawn flat
    else
      p.drawImage(r.topLeft(), pics.Get("338"));
    QImage icon = pics.Get(icons[i]);
    int textWidth = QFontMetrics(UiFont(12)).horizontalAdvance(captions[i]);
    int x = r.left() + (r.width() - textWidth - 4 - icon.width()) / 2;
    p.drawImage(x, r.top() + (r.height() - icon.height()) / 2, icon);
    Text(p, QRect(x + icon.width() + 4, r.top(), textWidth + 2, r.height()), captions[i],
         i == 1 ? QColor(Qt::black) : QColor(0x41, 0x79, 0x9C), Qt::AlignLeft | Qt::AlignVCenter);
  }
  // share list with its header strip
  QRect list(12, 198, 459, 136);
  p.fillRect(list, Qt::white);
  QImage strip = pics.Get("391");
  for (int x = list.left(); x <= list.right(); ++x) p.drawImage(QRect(x, list.top(), 1, 27), strip, QRect(0, 0, 1, 27));
  p.setPen(QColor(0xD7, 0xD7, 0xD7));
  p.drawLine(list.left() + 130, list.top() + 4, list.left() + 130, list.top() + 22);
  Text(p, QRect(list.left() + 6, list.top(), 120, 27), "Folder", QColor(0x43, 0x43, 0x43), Qt::AlignLeft | Qt::AlignVCenter);
  Text(p, QRect(list.left() + 136, list.top(), 200, 27), "Path", QColor(0x43, 0x43, 0x43), Qt::AlignLeft | Qt::AlignVCenter);
  const char* rows[][2] = {{"Photos", "D:\\Kestyl\\Photos"}, {"Music", "D:\\Kestyl\\Music"}, {"Projects", "E:\\Work\\Projects"}};
  for (int i = 0; i < 3; ++i) {
    QRect row(list.left() + 1, list.top() + 28 + 25 * i, list.width() - 2, 25);
    if (i == 2) p.fillRect(row, QColor(0xD5, 0xF4, 0xFF));
    p.drawImage(row.left() + 5, row.top() + 4, pics.Get("287"));
    Text(p, row.adjusted(26, 0, 0, 0), rows[i][0], Qt::black, Qt::AlignLeft | Qt::AlignVCenter);
    Text(p, row.adjusted(136, 0, 0, 0), rows[i][1], Qt::black, Qt::AlignLeft | Qt::AlignVCenter);
  }
  p.setPen(QColor(0xAF, 0xAF, 0xAF));
  p.drawRect(list.adjusted(0, 0, -1, -1));
  Button(p, pics, "345", 320, 344, "Add");
  Button(p, pics, "345", 399, 344, "Delete", QColor(0x7F, 0x7F, 0x7F));
  Button(p, pics, "340", 300, 392, "OK");
  Button(p, pics, "341", 390, 392, "Cancel");
  return w;
}

QImage LoginDialog(Pictures& pics) {
  QImage w = pics.Get("232").copy();
  QPainter p(&w);
  p.drawImage(109, 62, pics.Get("369"));
  p.drawImage(109, 105, pics.Get("369"));
  Chrome(p, pics, w.width(), true);
  QColor label(0x32, 0x32, 0x32), hint(0xA0, 0xA0, 0xA0);
  Text(p, QRect(10, 64, 92, 21), "Account", label, Qt::AlignRight | Qt::AlignVCenter);
  Text(p, QRect(10, 108, 92, 21), "Password", label, Qt::AlignRight | Qt::AlignVCenter);
  Text(p, QRect(116, 64, 240, 21), "name@example.com", hint, Qt::AlignLeft | Qt::AlignVCenter);
  Text(p, QRect(116, 108, 240, 21), "Password", hint, Qt::AlignLeft | Qt::AlignVCenter);
  p.drawImage(110, 143, pics.Get("388"));
  p.drawImage(113, 146, pics.Get("389"));
  Text(p, QRect(127, 140, 150, 21), "Remember password", QColor(0x78, 0x78, 0x78), Qt::AlignLeft | Qt::AlignVCenter);
  Text(p, QRect(274, 143, 115, 15), "Forgot password?", QColor(0x0C, 0x5B, 0xAD), Qt::AlignLeft | Qt::AlignVCenter);
  Text(p, QRect(52, 187, 160, 24), "No account? ", Qt::black, Qt::AlignLeft | Qt::AlignVCenter);
  Text(p, QRect(128, 187, 80, 24), "Register", QColor(0x11, 0x71, 0xD4), Qt::AlignLeft | Qt::AlignVCenter);
  Button(p, pics, "379", 273, 183, "Log in", QColor(0x34, 0x34, 0x34));
  return w;
}

QImage MessageBox(Pictures& pics) {
  QImage w = pics.Get("263").copy();
  QPainter p(&w);
  Chrome(p, pics, w.width(), false);
  Text(p, QRect(27, 70, 301, 44), "Log out of this account and log in\nwith another one?", Qt::black);
  Button(p, pics, "260", 67, 160, "Yes");
  Button(p, pics, "259", 200, 160, "No");
  return w;
}

QImage TrayMenu(Pictures& pics) {
  const struct {
    const char* icon;
    const char* text;
    bool grey, selected;
  } items[] = {{"287", "Open data folder", false, false}, {"282", "Switch account", false, false},
               {nullptr, nullptr, false, false},       {"322", "Wi-Fi hotspot", false, true},
               {"285", "Phone online", true, false},   {nullptr, "Get the app", false, false},
               {nullptr, nullptr, false, false},       {"286", "Settings", false, false},
               {"284", "Help", false, false},          {nullptr, nullptr, false, false},
               {"281", "Exit", false, false}};
  int h = 0;
  for (const auto& it : items) h += it.text ? 27 : 1;
  QImage m(130, h + 2, QImage::Format_ARGB32_Premultiplied);
  m.fill(QColor(0xB8, 0xC0, 0xC8));
  QPainter p(&m);
  int y = 1;
  for (const auto& it : items) {
    if (!it.text) {
      p.fillRect(1, y, 128, 1, QColor(0xFE, 0xFF, 0xFE));
      p.fillRect(28, y, 101, 1, QColor(0xDD, 0xDD, 0xDD));
      y += 1;
      continue;
    }
    p.fillRect(1, y, 27, 27, it.selected ? QColor(0xC9, 0xE9, 0xF3) : QColor(0xF3, 0xF3, 0xF3));
    p.fillRect(28, y, 101, 27, it.selected ? QColor(0xD5, 0xF4, 0xFF) : QColor(0xFE, 0xFF, 0xFE));
    if (it.icon) {
      QImage icon = pics.Get(it.icon);
      p.drawImage(1 + (27 - icon.width()) / 2, y + (27 - icon.height()) / 2, icon);
    }
    Text(p, QRect(34, y, 95, 27), it.text, it.grey ? QColor(0x7F, 0x7F, 0x7F) : QColor(Qt::black), Qt::AlignLeft | Qt::AlignVCenter, 11);
    y += 27;
  }
  return m;
}

// The notification area at its real size, on a dark and a light task bar.
QImage TaskBars(Pictures& pics) {
  const char* ids[] = {"368", "174", "239", "320", "349", "350", "240", "241", "355", "313", "314", "356", "255", "254"};
  QImage bars(24 * 14 + 8, 2 * 32, QImage::Format_ARGB32_Premultiplied);
  QPainter p(&bars);
  p.fillRect(0, 0, bars.width(), 32, QColor(0x20, 0x27, 0x30));
  p.fillRect(0, 32, bars.width(), 32, QColor(0xE9, 0xEC, 0xEF));
  for (int i = 0; i < 14; ++i) {
    QImage icon = pics.Get(ids[i], 16);
    p.drawImage(8 + 24 * i, 8, icon);
    p.drawImage(8 + 24 * i, 40, icon);
  }
  return bars;
}

}  // namespace

QList<QImage> DrawPreviews(const std::vector<ArtworkRow>& rows, const QString& artDir, const QString& roamingSrc, QString& error) {
  Pictures pics(rows, artDir, roamingSrc);
  QList<QImage> previews{MainWindow(pics), LoginDialog(pics), MessageBox(pics), TrayMenu(pics), TaskBars(pics)};
  if (!pics.error.isEmpty()) {
    error = pics.error;
    return {};
  }
  return previews;
}

}  // namespace ks::art
