#include "desktop/resources/ks_desktop_resources.h"

#include <QtGlobal>

#include <mutex>

// Q_INIT_RESOURCE declares the rcc-generated registration function: it must be used at
// global scope, outside any namespace.
static void RegisterDesktopResources() { Q_INIT_RESOURCE(ks_desktop_resources); }

void ks_init_desktop_resources() {
  static std::once_flag once;
  std::call_once(once, RegisterDesktopResources);
}
