// The desktop program Kestyl.
#include "desktop/app/shell/kestyl_app.h"
#include "desktop/foundation/ui/fonts.h"
#include "desktop/foundation/ui/language_tables.h"
#include "desktop/foundation/ui/ui_trace.h"

#include <QApplication>

#include <string>
#include <vector>

#ifndef KS_PROJECT_VERSION
#define KS_PROJECT_VERSION "1.0.0.0"
#endif

// The version marker that the update check and the command program read from this file.
extern "C" {
__attribute__((used)) const char kKestylVersionMarker[] = "KESTYL_VERSION:" KS_PROJECT_VERSION;
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  ks::ui::InstallFontSubstitutions();
  ks::ui::InstallLanguageTables();
  ks::ui::InstallUiTracer();
  std::vector<std::string> arguments(argv, argv + argc);
  ks::app::CKestylApp program;
  return program.Run(arguments);
}
