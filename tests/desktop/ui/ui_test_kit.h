// Test kit of the desktop GUI: one offscreen QApplication for the whole test program, waits
// on events with deadlines, pixel probes over grab(), the artwork table's probe points, and
// an answerer for the next modal dialog.
#pragma once

#include "desktop/resources/artwork_table.h"

#include <QImage>
#include <QPointer>
#include <QRgb>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <string>

namespace kstest {

// Makes sure the offscreen QApplication exists (it is made by a GoogleTest environment
// before the first test and destroyed after the last).
void EnsureGuiApp();

// Processes events until `done` holds or `timeoutMs` passed; returns `done()` at the end.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000);
// Processes the events that are ready now, a few rounds (deferred deletes included).
void ProcessEvents();

// The widget as it paints now (grab()), ARGB32.
QImage Grab(QWidget* widget);
QRgb PixelAt(QWidget* widget, int x, int y);

// True when `rgb` equals `expected` within `tolerance` per channel (alpha ignored).
bool SameColour(QRgb rgb, QRgb expected, int tolerance = 2);
std::string Hex(QRgb rgb);

// The row of artwork.tsv for `id`; fails the test (and returns a blank row) when missing.
ks::art::ArtworkRow ArtProbe(const std::string& id);
// The probe colour of `id` as QRgb (opaque).
QRgb ArtColour(const std::string& id);

// Answers the next modal dialog: polls from a timer (armed before the blocking call) until
// QApplication::activeModalWidget() is a visible dialog other than `ignore`, records its title
// and the texts of its children (properties "text" and "caption" where present, in child
// order), then runs `answer` on it. Gives up after `timeoutMs`.
class ModalAnswerer {
 public:
  explicit ModalAnswerer(std::function<void(QWidget*)> answer, int timeoutMs = 5000);
  ~ModalAnswerer();
  bool answered() const { return answered_; }
  QString title() const { return title_; }
  QStringList texts() const { return texts_; }
  QString className() const { return className_; }

 private:
  void Poll();
  std::function<void(QWidget*)> answer_;
  QTimer timer_;
  int polls_ = 0;
  int maxPolls_ = 0;
  bool answered_ = false;
  QString title_;
  QString className_;
  QStringList texts_;
};

}  // namespace kstest
