#include "tests/desktop/ui/ui_test_kit.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

namespace kstest {
namespace {

class GuiAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir_.isValid())
      qputenv("XDG_RUNTIME_DIR", runtimeDir_.path().toLocal8Bit());
    app_ = new QApplication(argc_, argv_);
  }
  void TearDown() override {
    ProcessEvents();
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[32] = "desktop_ui_test";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
  QTemporaryDir runtimeDir_;
};

const bool kRegistered = (::testing::AddGlobalTestEnvironment(new GuiAppEnvironment), true);

std::map<std::string, ks::art::ArtworkRow>& Rows() {
  static std::map<std::string, ks::art::ArtworkRow> rows;
  if (rows.empty()) {
    std::vector<ks::art::ArtworkRow> list;
    std::string error;
    if (ks::art::LoadArtworkTable(KS_SOURCE_DIR "/desktop/resources/artwork.tsv", list, error))
      for (auto& r : list) rows[r.id] = r;
  }
  return rows;
}

}  // namespace

void EnsureGuiApp() { (void)kRegistered; }

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  while (!done()) {
    if (deadline.hasExpired()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::yieldCurrentThread();
  }
  return true;
}

void ProcessEvents() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

QImage Grab(QWidget* widget) { return widget->grab().toImage().convertToFormat(QImage::Format_ARGB32); }

QRgb PixelAt(QWidget* widget, int x, int y) {
  QImage image = Grab(widget);
  if (!image.valid(x, y)) return 0;
  return image.pixel(x, y);
}

bool SameColour(QRgb rgb, QRgb expected, int tolerance) {
  return std::abs(qRed(rgb) - qRed(expected)) <= tolerance && std::abs(qGreen(rgb) - qGreen(expected)) <= tolerance &&
         std::abs(qBlue(rgb) - qBlue(expected)) <= tolerance;
}

std::string Hex(QRgb c) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "#%06X/a%d", c & 0xFFFFFF, qAlpha(c));
  return buf;
}

ks::art::ArtworkRow ArtProbe(const std::string& id) {
  auto& rows = Rows();
  auto it = rows.find(id);
  if (it == rows.end()) {
    ADD_FAILURE() << "no artwork row " << id;
    return {};
  }
  return it->second;
}

QRgb ArtColour(const std::string& id) { return 0xFF000000u | ArtProbe(id).probeRgb; }

ModalAnswerer::ModalAnswerer(std::function<void(QWidget*)> answer, int timeoutMs)
    : answer_(std::move(answer)), maxPolls_(timeoutMs / 10) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
  timer_.start();
}

ModalAnswerer::~ModalAnswerer() { timer_.stop(); }

void ModalAnswerer::Poll() {
  if (++polls_ > maxPolls_) {
    timer_.stop();
    return;
  }
  QWidget* modal = QApplication::activeModalWidget();
  if (modal == nullptr || !modal->isVisible()) return;
  timer_.stop();
  title_ = modal->windowTitle();
  className_ = QString::fromLatin1(modal->metaObject()->className());
  for (QWidget* child : modal->findChildren<QWidget*>()) {
    for (const char* prop : {"text", "caption"}) {
      QVariant v = child->property(prop);
      if (v.isValid() && v.canConvert<QString>() && !v.toString().isEmpty()) texts_ << v.toString();
    }
  }
  answered_ = true;
  answer_(modal);
}

}  // namespace kstest
