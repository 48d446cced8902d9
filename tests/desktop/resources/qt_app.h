// One offscreen QGuiApplication for the whole test program (fonts and image plugins need
// it). It is made before the first test and destroyed after the last one, while Qt's own
// globals still exist: destroying it from a static destructor crashes.
#pragma once

#include <QGuiApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir_.isValid())
      qputenv("XDG_RUNTIME_DIR", runtimeDir_.path().toLocal8Bit());
    app_ = new QGuiApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[32] = "desktop_resources_test";
  char* argv_[2] = {name_, nullptr};
  QGuiApplication* app_ = nullptr;
  QTemporaryDir runtimeDir_;
};

inline const bool kQtAppEnvironmentRegistered =
    (::testing::AddGlobalTestEnvironment(new QtAppEnvironment), true);

// Kept for the fixtures' set-up: the environment has made the application by then.
inline void EnsureQtApp() { (void)kQtAppEnvironmentRegistered; }
